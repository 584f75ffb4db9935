// The current process's access token, as far as its elevation is concerned.
#include <memory>

#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/system.h"

namespace {

struct Token : sim::KernelObject {
  explicit Token(DWORD grantedAccess) : access(grantedAccess) {}
  const char *Kind() const override { return "token"; }
  DWORD access;
};

DWORD elevation = 0;
DWORD failOpen = 0;
DWORD failQuery = 0;

void ResetToken() {
  elevation = 0;
  failOpen = 0;
  failQuery = 0;
}
sim::ResetRegistration registration(ResetToken);

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

namespace sim {
void SetTokenElevation(DWORD tokenIsElevated) { elevation = tokenIsElevated; }
void FailOpenProcessToken(DWORD error) { failOpen = error; }
void FailTokenQuery(DWORD error) { failQuery = error; }
}  // namespace sim

extern "C" {

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
  if (!token) return Fail(ERROR_INVALID_PARAMETER);
  if (process != GetCurrentProcess()) sim::Unimplemented("OpenProcessToken for another process");
  if (failOpen) {
    DWORD error = failOpen;
    failOpen = 0;
    return Fail(error);
  }
  *token = sim::NewHandle(std::make_shared<Token>(desiredAccess));
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information,
                                DWORD informationLength, PDWORD returnLength) {
  auto t = sim::LookupHandleAs<Token>(token);
  if (!t) return Fail(ERROR_INVALID_HANDLE);
  if (!(t->access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
  if (informationClass != TokenElevation) sim::Unimplemented("GetTokenInformation for this class");
  if (!returnLength) return Fail(ERROR_INVALID_PARAMETER);
  if (failQuery) {
    DWORD error = failQuery;
    failQuery = 0;
    return Fail(error);
  }
  *returnLength = sizeof(TOKEN_ELEVATION);
  if (informationLength < sizeof(TOKEN_ELEVATION) || !information) return Fail(ERROR_INSUFFICIENT_BUFFER);
  static_cast<TOKEN_ELEVATION *>(information)->TokenIsElevated = elevation;
  return TRUE;
}

}  // extern "C"
