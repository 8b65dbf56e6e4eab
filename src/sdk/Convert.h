// The C views of the engine's records. Pointers in what they return go into
// the records (and into `identities`), which must outlive the view.
#pragma once

#include "camupgrade_sdk.h"
#include "discovery/Discovery.h"
#include "engine/Engine.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sdk {

cu_status statusOf(const engine::CameraStatus& s, std::size_t index);
// identities: the before and after of r, as toIdentities made them.
cu_result resultOf(const engine::CameraResult& r, std::size_t index, const cu_identity* identities,
                   const std::string& package);
void toIdentities(const engine::CameraResult& r, cu_identity* identities);
void toIdentity(const discovery::Identity& from, cu_identity* to);
int actionOf(engine::Action action);
int reasonOf(engine::Reason reason);
int phaseOf(engine::Phase phase);
int verdictOf(engine::Verdict verdict);

}  // namespace sdk
