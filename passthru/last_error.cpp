// PassThruGetLastError: the text of the last error message; the refusal
// of an argument an export face cannot hand to the core.
//
// Needs neither the link nor a trace line, so reading the text does not
// change it; only a null buffer is reported (and becomes the new text).
#include <cstring>

#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"

using namespace orv;

int32_t orv::api::GetLastError(char* pErrorDescription) {
  if (pErrorDescription == nullptr) {
    DbgMsg(kMsgError, "PassThruGetLastError null parameter");
    return ERR_NULL_PARAMETER;
  }
  // J2534 callers provide 80 characters: cut a longer text to 79 and its zero.
  constexpr size_t kCallerBufferSize = 80;
  const size_t length = strnlen(LastErrorText(), kCallerBufferSize - 1);
  std::memcpy(pErrorDescription, LastErrorText(), length);
  pErrorDescription[length] = '\0';
  return STATUS_NOERROR;
}

int32_t orv::api::RefuseArgument(int32_t status, const char* call, const char* what) {
  DbgMsgf(kMsgError, "%s %s out of range", call, what);
  return status;
}
