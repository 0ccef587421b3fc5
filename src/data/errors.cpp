#include "data/errors.h"

namespace dk {

void Abort() {
  throw EAbort();
}

}  // namespace dk
