#include "data/bulk_scope.h"

namespace dk {

TBulkScope::TBulkScope(TConnection& connection, int commitEvery) : FConnection(connection) {
  FConnection.BeginBulk(commitEvery);
}

TBulkScope::~TBulkScope() {
  if (!FActive) return;
  try {
    Finish();
  } catch (const EDatabaseError&) {
    // On the connection's error list; see the header.
  }
}

void TBulkScope::Finish() {
  if (!FActive) return;
  FActive = false;
  FConnection.EndBulk();
}

}  // namespace dk
