// The runs the fuzzers of the board runner's inputs make from one input: an
// lspci capture and a board description, as `pciplat-sim --lspci FILE` and
// `--board FILE` read them. Each returns the violations found (empty: the
// input passed); the fuzz targets abort on one, the test suite replays the
// committed corpus through the same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Parses the input as an lspci capture. A refusal is one line naming the file
// and line; an accepted capture keeps its sizes and locations, and its
// configuration spaces survive being written in the -xxxx form and read back.
std::vector<std::string> RunLspciDump(const uint8_t *Data, size_t Size);

// Parses the input as a board description. A refusal is one line naming the
// file and the field or line; an accepted board is laid out and enumerated.
std::vector<std::string> RunBoardDescription(const uint8_t *Data, size_t Size);

} // namespace fuzz
