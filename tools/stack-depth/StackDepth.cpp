#include "StackDepth.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <regex>
#include <sstream>

namespace stack {

namespace {

constexpr uint32_t kReturnAddressBytes = 8;

// The whole of Text as a number in Base; nullopt for anything else, overflow included.
template <typename T> std::optional<T> ParseWhole(const std::string &Text, int Base) {
  T Value = 0;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value, Base);
  if (Error != std::errc() || End != Text.data() + Text.size() || Text.empty()) {
    return std::nullopt;
  }
  return Value;
}

} // namespace

bool ParseStackUsage(const std::string &Text, std::map<std::string, uint32_t> *Frames, std::string *Error) {
  std::istringstream Lines(Text);
  std::string Line;
  while (std::getline(Lines, Line)) {
    // path:line:name <tab> bytes <tab> static|dynamic[,bounded]
    std::istringstream Fields(Line);
    std::string Where;
    std::string Bytes;
    std::string Kind;
    if (!std::getline(Fields, Where, '\t') || !std::getline(Fields, Bytes, '\t') || !std::getline(Fields, Kind)) {
      continue;
    }
    const std::string Name = Where.substr(Where.rfind(':') + 1);
    if (Kind != "static") {
      *Error = Name + " has a " + Kind + " frame";
      return false;
    }
    const auto Size = ParseWhole<uint32_t>(Bytes, 10);
    if (!Size) {
      *Error = Name + ": '" + Bytes + "' is not a frame size";
      return false;
    }
    auto &Frame = (*Frames)[Name];
    Frame = std::max(Frame, *Size);
  }
  return true;
}

std::vector<Symbol> ParseMapSymbols(const std::string &Text, uint64_t ImageBase) {
  // " 0001:00000469       ?Name@@...  0000000140001469     Object.obj"
  static const std::regex Entry(R"(^\s*[0-9a-fA-F]{4}:[0-9a-fA-F]{8}\s+(\S+)\s+([0-9a-fA-F]{16})\s)");
  std::vector<Symbol> Symbols;
  std::istringstream Lines(Text);
  std::string Line;
  std::smatch Match;
  while (std::getline(Lines, Line)) {
    if (std::regex_search(Line, Match, Entry)) {
      const uint64_t Address = std::stoull(Match[2].str(), nullptr, 16);
      if (Address >= ImageBase) {
        Symbols.push_back({static_cast<uint32_t>(Address - ImageBase), Match[1].str()});
      }
    }
  }
  return Symbols;
}

std::vector<Branch> ParseBranches(const std::string &Listing, uint64_t ImageBase) {
  // "14000100a:     \tcallq\t0x1400013bc <.text+0x3bc>"; indirect branches
  // ("callq *328(%rax)") have no literal target and are left out.
  static const std::regex Direct(R"(^\s*([0-9a-f]+):\s+(call\w*|j\w+)\s+0x([0-9a-f]+))");
  std::vector<Branch> Branches;
  std::istringstream Lines(Listing);
  std::string Line;
  std::smatch Match;
  while (std::getline(Lines, Line)) {
    if (std::regex_search(Line, Match, Direct)) {
      const auto From = ParseWhole<uint64_t>(Match[1].str(), 16);
      const auto To = ParseWhole<uint64_t>(Match[3].str(), 16);
      if (From && To && *From >= ImageBase && *To >= ImageBase) {
        Branches.push_back({static_cast<uint32_t>(*From - ImageBase), static_cast<uint32_t>(*To - ImageBase),
                            Match[2].str().rfind("call", 0) == 0});
      }
    }
  }
  return Branches;
}

std::string ShortName(const std::string &Mangled) {
  // ?Name@scope@@..., ??$Template@args@@..., or a plain C name.
  size_t Begin = 0;
  if (Mangled.rfind("??$", 0) == 0) {
    Begin = 3;
  } else if (Mangled.rfind('?', 0) == 0) {
    Begin = 1;
  }
  const size_t End = Mangled.find('@', Begin);
  return Mangled.substr(Begin, End == std::string::npos ? std::string::npos : End - Begin);
}

bool IsDataSymbol(const std::string &Mangled) {
  // Variables: ?name@scope...@@ followed by a storage class 0-4; string
  // literals: ??_C@. Functions carry a calling-convention code there instead.
  static const std::regex Variable(R"(^\?[^?@][^@]*@(?:[^@]*@)*@[0-4])");
  return Mangled.rfind("??_C@", 0) == 0 || std::regex_search(Mangled, Variable);
}

namespace {

// The call graph of the code: one node per code address, ascending.
struct CallGraph {
  std::vector<Function> Nodes;
  std::vector<std::vector<int>> Callees;
};

// Names folded together at one address keep the largest frame; a code
// address without any stack-usage figure is reported in Unknown.
std::vector<Function> FunctionsOf(const std::vector<Symbol> &Symbols, const std::map<std::string, uint32_t> &Frames,
                                  uint32_t TextBegin, uint32_t TextEnd, std::vector<std::string> *Unknown) {
  std::map<uint32_t, Function> ByRva;
  std::map<uint32_t, bool> Known;
  for (const Symbol &Entry : Symbols) {
    if (Entry.Rva < TextBegin || Entry.Rva >= TextEnd || IsDataSymbol(Entry.Name)) {
      continue;
    }
    auto &Slot = ByRva.try_emplace(Entry.Rva, Function{Entry.Rva, Entry.Name, 0}).first->second;
    if (const auto Frame = Frames.find(Entry.Name); Frame != Frames.end()) {
      if (!Known[Entry.Rva] || Frame->second + kReturnAddressBytes > Slot.Frame) {
        Slot.Frame = Frame->second + kReturnAddressBytes;
        Slot.Name = Entry.Name;
      }
      Known[Entry.Rva] = true;
    }
  }
  std::vector<Function> Nodes;
  for (const auto &[Rva, Node] : ByRva) {
    if (!Known[Rva]) {
      Unknown->push_back(Node.Name);
    }
    Nodes.push_back(Node);
  }
  return Nodes;
}

int NodeContaining(const std::vector<Function> &Nodes, uint32_t Rva) {
  const auto After = std::upper_bound(Nodes.begin(), Nodes.end(), Rva,
                                      [](uint32_t Value, const Function &Node) { return Value < Node.Rva; });
  return After == Nodes.begin() ? -1 : static_cast<int>(After - Nodes.begin()) - 1;
}

int NodeStartingAt(const std::vector<Function> &Nodes, uint32_t Rva) {
  const auto At = std::lower_bound(Nodes.begin(), Nodes.end(), Rva,
                                   [](const Function &Node, uint32_t Value) { return Node.Rva < Value; });
  return At != Nodes.end() && At->Rva == Rva ? static_cast<int>(At - Nodes.begin()) : -1;
}

std::vector<std::vector<int>> CallsBetween(const std::vector<Function> &Nodes, const std::vector<Branch> &Branches) {
  std::vector<std::vector<int>> Callees(Nodes.size());
  for (const Branch &Edge : Branches) {
    const int From = NodeContaining(Nodes, Edge.From);
    const int To = NodeStartingAt(Nodes, Edge.To);
    // A jump within a function, or back to its own start, is a loop.
    if (From < 0 || To < 0 || (!Edge.IsCall && From == To)) {
      continue;
    }
    Callees[From].push_back(To);
  }
  return Callees;
}

// Strongly connected components (Tarjan); each is finished after every
// component it reaches, so costs can be filled in the order they complete.
class ComponentCosts {
public:
  ComponentCosts(const CallGraph &Graph, unsigned Levels)
      : Graph(Graph), Levels(Levels), Index(Graph.Nodes.size(), -1), Low(Graph.Nodes.size(), 0),
        OnStack(Graph.Nodes.size(), false), Component(Graph.Nodes.size(), -1) {
    for (size_t Node = 0; Node < Graph.Nodes.size(); ++Node) {
      if (Index[Node] < 0) {
        Visit(static_cast<int>(Node));
      }
    }
  }

  std::vector<uint64_t> Cost; // per component: deepest stack from its entry
  std::vector<int> Next;      // per component: the callee on that path
  std::vector<bool> Cyclic;   // per component: a recursive cycle
  std::vector<std::vector<int>> Members;
  std::vector<Recursion> Recursions;

private:
  void Visit(int Node) {
    Index[Node] = Low[Node] = Counter++;
    Stack.push_back(Node);
    OnStack[Node] = true;
    for (const int Callee : Graph.Callees[Node]) {
      if (Index[Callee] < 0) {
        Visit(Callee);
        Low[Node] = std::min(Low[Node], Low[Callee]);
      } else if (OnStack[Callee]) {
        Low[Node] = std::min(Low[Node], Index[Callee]);
      }
    }
    if (Low[Node] == Index[Node]) {
      Finish(Node);
    }
  }

  // Pops the component rooted at Root and prices it: its frames (times the
  // levels when recursive) plus its most expensive callee component.
  void Finish(int Root) {
    const int Id = static_cast<int>(Members.size());
    Members.emplace_back();
    for (int Member = -1; Member != Root;) {
      Member = Stack.back();
      Stack.pop_back();
      OnStack[Member] = false;
      Component[Member] = Id;
      Members.back().push_back(Member);
    }
    bool Recursive = Members.back().size() > 1;
    uint64_t PerLevel = 0;
    int Deepest = -1;
    for (const int Member : Members.back()) {
      PerLevel += Graph.Nodes[Member].Frame;
      for (const int Callee : Graph.Callees[Member]) {
        const int Target = Component[Callee];
        if (Target == Id) {
          Recursive = true;
        } else if (Deepest < 0 || Cost[Target] > Cost[Deepest]) {
          Deepest = Target;
        }
      }
    }
    Cost.push_back((Recursive ? Levels : 1) * PerLevel + (Deepest < 0 ? 0 : Cost[Deepest]));
    Next.push_back(Deepest);
    Cyclic.push_back(Recursive);
    if (Recursive) {
      Recursion Cycle{{}, PerLevel};
      for (const int Member : Members.back()) {
        Cycle.Members.push_back(ShortName(Graph.Nodes[Member].Name));
      }
      Recursions.push_back(Cycle);
    }
  }

  const CallGraph &Graph;
  const unsigned Levels;
  std::vector<int> Index;
  std::vector<int> Low;
  std::vector<bool> OnStack;
  std::vector<int> Stack;
  std::vector<int> Component;
  int Counter = 0;
};

} // namespace

Report Analyze(const std::vector<Symbol> &Symbols, const std::map<std::string, uint32_t> &Frames,
               const std::vector<Branch> &Branches, uint32_t TextBegin, uint32_t TextEnd, unsigned Levels) {
  Report Result;
  CallGraph Graph;
  Graph.Nodes = FunctionsOf(Symbols, Frames, TextBegin, TextEnd, &Result.Unknown);
  Graph.Callees = CallsBetween(Graph.Nodes, Branches);
  const ComponentCosts Components(Graph, Levels);
  Result.Recursions = Components.Recursions;

  int Start = -1;
  for (size_t Id = 0; Id < Components.Cost.size(); ++Id) {
    if (Start < 0 || Components.Cost[Id] > Components.Cost[Start]) {
      Start = static_cast<int>(Id);
    }
  }
  if (Start >= 0) {
    Result.Deepest = Components.Cost[Start];
  }
  for (int Id = Start; Id >= 0; Id = Components.Next[Id]) {
    for (const int Member : Components.Members[Id]) {
      const Function &Node = Graph.Nodes[Member];
      Result.Path.push_back({ShortName(Node.Name), Node.Frame, Components.Cyclic[Id] ? Levels : 1});
    }
  }
  return Result;
}

} // namespace stack
