// The call guard of the export faces.
#include "passthru/api_guard.h"

namespace orv::api {

CallGuard::CallGuard(CallKind kind) : kind_(kind) {}

CallGuard::~CallGuard() = default;

}  // namespace orv::api
