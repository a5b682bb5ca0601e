// The host build's side of the decision records: each record the driver makes
// goes to the attached target.
#include "base/Decisions.h"
#include "host/HostSeam.h"

void RecordDecision(const DECISION &Decision) { host::AttachedSeamTarget().RecordDecision(Decision); }
