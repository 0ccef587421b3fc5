#include "data/errors.h"

namespace dk {

void Abort() {
  throw EAbort();
}

bool IsLockConflict(const std::exception& e) {
  const auto* provider = dynamic_cast<const EProviderError*>(&e);
  if (!provider) return false;
  const int primary = provider->NativeError() & 0xff;
  return primary == 5 /* busy */ || primary == 6 /* locked */;
}

}  // namespace dk
