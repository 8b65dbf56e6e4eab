// What every C entry point shares: a failure with its sentence, the guard
// that keeps exceptions inside the library, and the text a call hands back.
#pragma once

#include "camupgrade_sdk.h"

#include <new>
#include <stdexcept>
#include <string>

namespace sdk {

// A failure with the sentence for cu_last_error.
struct Failure {
    cu_error code;
    std::string detail;
};

// Keeps the detail for cu_last_error; the code.
cu_error report(const Failure& f);

// Runs body() and turns whatever it throws into an error code.
template <class F>
cu_error guarded(F&& body) noexcept {
    try {
        return report(body());
    } catch (const std::bad_alloc&) {
        return report({CU_ERR_INTERNAL, "out of memory"});
    } catch (const std::exception& e) {
        return report({CU_ERR_INTERNAL, std::string("internal error: ") + e.what()});
    } catch (...) {
        return report({CU_ERR_INTERNAL, "internal error"});
    }
}

// Text handed back to the caller, valid until the thread's next call of
// the same kind: slot 0 for paths, 1 for notices.
const char* keep(int slot, const std::string& text);

}  // namespace sdk
