// The station's serial ledger (station.db under a state home) written out
// as the serial state file writes its pools, so that a test reads one text
// whatever keeps the serials:
//   vexu-programmer serials 1
//   next counter 7
//   free|reserved|skipped POOL INDEX SERIAL   (by pool, state, index)
//   given SERIAL                              (committed, in order)
#pragma once

#include <string>

namespace vexu::test {

std::string SerialLedgerText(const std::string& stateHome);

}  // namespace vexu::test
