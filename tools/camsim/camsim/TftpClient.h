// The camera's side of a TFTP read (RFC 1350): request, lock-step
// acknowledgements, and recovery of lost blocks by re-sending the last
// acknowledgement, since some servers never re-send on their own.
#pragma once

#include "platform/socket.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace camsim {

struct TftpRequest {
    std::string localIp;   // the read request leaves from this address
    std::string serverIp;
    std::uint16_t serverPort = 69;
    std::string file;
    int timeoutMs = 1000;  // wait for the next block before re-sending
    int retries = 5;       // re-sends of the request or of one acknowledgement
    std::size_t maxBytes = 64u << 20;
    // Size announced by the information file (0: unknown). The host sends no
    // empty last block, so a file whose length is a multiple of 512 ends with
    // its last full block once this many bytes are in.
    std::size_t expectedBytes = 0;
    // Asked for every arriving data block; true drops it unseen.
    std::function<bool()> dropBlock;
    // Told the bytes received so far; false abandons the transfer at once,
    // without another acknowledgement.
    std::function<bool(std::size_t)> progress;
    // Detail lines: re-sent acknowledgements, dropped blocks, stray packets.
    std::function<void(const std::string&)> note;
};

struct TftpResult {
    enum Outcome { OK, NO_ANSWER, TIMED_OUT, SERVER_ERROR, TOO_LARGE, ABANDONED, STOPPED, SOCKET_FAILED };
    Outcome outcome = OK;
    std::string message;
    std::vector<std::uint8_t> data;
    std::uint16_t serverPort = 0;  // the port the data came from
    unsigned blocks = 0;
    unsigned resends = 0;
};

// Fetches one file. Returns STOPPED as soon as `stop` is woken.
TftpResult tftpFetch(const TftpRequest& req, const platform::Waker* stop);

}  // namespace camsim
