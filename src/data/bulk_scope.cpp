#include "data/bulk_scope.h"

namespace dk {

TBulkScope::TBulkScope(TConnection& connection, int commitEvery)
    : TBulkScope(connection, TBulkPolicy{commitEvery > 0 ? commitEvery : kDefaultBulkCommitRows}) {}

TBulkScope::TBulkScope(TConnection& connection, const TBulkPolicy& policy)
    : FConnection(connection) {
  FConnection.BeginBulk(policy);
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
