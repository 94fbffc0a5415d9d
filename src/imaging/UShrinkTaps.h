#pragma once

// The arithmetic of area averaging along one axis, shared by the reduction
// and the benchmark's earlier floating-point one: which source positions
// each output position covers, and the share each has.

#include <cstdint>
#include <vector>

// For each output position, the source positions it covers and their shares.
struct TTaps {
  std::vector<int> First;      // first source index of output i
  std::vector<int> Count;      // number of source indexes of output i
  std::vector<int> Offset;     // where output i's shares start in Shares
  std::vector<double> Shares;  // adding up to 1 for each output
};

// The taps of reducing SrcLen positions to DstLen (DstLen <= SrcLen).
TTaps AreaTaps(int SrcLen, int DstLen);
// The shares of each output as whole numbers adding up to exactly One
// (rounding leftovers go to the largest share).
std::vector<uint16_t> FixedShares(const TTaps& Taps, int One);
