// The deepest stack an image can use, from the compiler's per-function frame
// sizes (-fstack-usage) and the direct calls in the image's code: the worst
// path through the call graph, with every recursive cycle taken a given
// number of levels deep. Calls through pointers (firmware services, other
// drivers' callbacks) leave the image and are not counted.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace stack {

// Frame bytes by mangled name, from the text of one .su file; a function
// that is listed more than once keeps its largest frame. False, with the
// reason, for a dynamic frame (alloca, variable-length arrays).
bool ParseStackUsage(const std::string &Text, std::map<std::string, uint32_t> *Frames, std::string *Error);

// Whether a mangled name is a variable or a string literal rather than code:
// constant data may share the code section (the images merge .rdata into it).
bool IsDataSymbol(const std::string &Mangled);

struct Symbol {
  uint32_t Rva;
  std::string Name;
};
// Public and static symbols of an lld-link map file.
std::vector<Symbol> ParseMapSymbols(const std::string &Text, uint64_t ImageBase);

struct Branch {
  uint32_t From; // RVA of the instruction
  uint32_t To;   // RVA of the target
  bool IsCall;   // call, rather than a jump
};
// Direct calls and jumps of an `llvm-objdump -d` listing.
std::vector<Branch> ParseBranches(const std::string &Listing, uint64_t ImageBase);

struct Function {
  uint32_t Rva;
  std::string Name; // one of the names folded at Rva
  uint32_t Frame;   // bytes, including the return address its caller pushes
};

struct Recursion {
  std::vector<std::string> Members;
  uint64_t BytesPerLevel;
};

struct PathStep {
  std::string Name;
  uint64_t Frame;
  unsigned Times; // 1, or the levels of a recursive cycle
};

struct Report {
  uint64_t Deepest = 0;
  std::vector<PathStep> Path;
  std::vector<Recursion> Recursions;
  std::vector<std::string> Unknown; // code symbols without a stack-usage figure
};

// Code is every symbol in [TextBegin, TextEnd). A call from a function, or a
// jump to the start of another one (a tail call), is an edge of the call
// graph. Recursive cycles count Levels times.
Report Analyze(const std::vector<Symbol> &Symbols, const std::map<std::string, uint32_t> &Frames,
               const std::vector<Branch> &Branches, uint32_t TextBegin, uint32_t TextEnd, unsigned Levels);

// A readable form of a mangled name: the function's own name.
std::string ShortName(const std::string &Mangled);

} // namespace stack
