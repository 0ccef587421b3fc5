#include "data/errors.h"

namespace dk {

void Abort() {
  throw EAbort();
}

bool IsLockConflict(const std::exception& e) {
  const auto* provider = dynamic_cast<const EProviderError*>(&e);
  if (!provider) return false;
  // A server's lock that could not be had in time, a deadlock, a
  // serialization failure.
  const std::string& state = provider->SqlState();
  if (state == "55P03" || state == "40P01" || state == "40001") return true;
  const int primary = provider->NativeError() & 0xff;
  return primary == 5 /* busy */ || primary == 6 /* locked */;
}

}  // namespace dk
