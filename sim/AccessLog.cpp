#include "sim/AccessLog.h"

#include "sim/PciBus.h"

#include <cstdio>

namespace sim {

const char *AccessKindName(AccessKind Kind) {
  switch (Kind) {
  case AccessKind::ConfigRead:
    return "config-read";
  case AccessKind::ConfigWrite:
    return "config-write";
  case AccessKind::WindowRead:
    return "window-read";
  case AccessKind::WindowWrite:
    return "window-write";
  case AccessKind::MemoryRead:
    return "memory-read";
  case AccessKind::MemoryWrite:
    return "memory-write";
  }
  return "?";
}

bool Access::IsWrite() const {
  return Kind == AccessKind::ConfigWrite || Kind == AccessKind::WindowWrite || Kind == AccessKind::MemoryWrite;
}

namespace {
bool IsWindow(AccessKind Kind) { return Kind == AccessKind::WindowRead || Kind == AccessKind::WindowWrite; }
} // namespace

UINT8 Access::Bus() const { return static_cast<UINT8>(IsWindow(Kind) ? (Address - kEcamBase) >> 20 : Address >> 24); }
UINT8 Access::Device() const {
  return static_cast<UINT8>(IsWindow(Kind) ? ((Address >> 15) & 0x1F) : ((Address >> 16) & 0xFF));
}
UINT8 Access::Function() const {
  return static_cast<UINT8>(IsWindow(Kind) ? ((Address >> 12) & 0x7) : ((Address >> 8) & 0xFF));
}
UINT16 Access::Register() const {
  return static_cast<UINT16>(IsWindow(Kind) ? (Address & 0xFFF) : ((Address & 0xFF) + ((Address >> 32) & 0xF00)));
}

std::string FormatAccess(const Access &Entry) {
  char Text[160];
  if (Entry.Kind == AccessKind::MemoryRead || Entry.Kind == AccessKind::MemoryWrite) {
    std::snprintf(Text, sizeof(Text), "%-12s %#010llx w%u = %#llx%s", AccessKindName(Entry.Kind),
                  static_cast<unsigned long long>(Entry.Address), Entry.Width * 8U,
                  static_cast<unsigned long long>(Entry.Value), EFI_ERROR(Entry.Status) ? " (error)" : "");
  } else {
    std::snprintf(Text, sizeof(Text), "%-12s %02x:%02x.%x+%#05x w%u x%llu = %#llx%s", AccessKindName(Entry.Kind),
                  Entry.Bus(), Entry.Device(), Entry.Function(), Entry.Register(), Entry.Width * 8U,
                  static_cast<unsigned long long>(Entry.Count), static_cast<unsigned long long>(Entry.Value),
                  EFI_ERROR(Entry.Status) ? " (error)" : "");
  }
  return Text;
}

namespace {

// Storage kept for the next log; a run that logged more than this gives its
// memory back instead.
constexpr size_t kLargestKeptLog = size_t{1} << 20;

std::vector<Access> &SpareStorage() {
  thread_local std::vector<Access> Spare;
  return Spare;
}

} // namespace

AccessLog::AccessLog() { Entries.swap(SpareStorage()); }

AccessLog::~AccessLog() {
  std::vector<Access> &Spare = SpareStorage();
  if (Entries.capacity() > Spare.capacity() && Entries.capacity() <= kLargestKeptLog) {
    Entries.clear();
    Spare.swap(Entries);
  }
}

size_t AccessLog::Count(AccessKind Kind) const {
  size_t Total = 0;
  for (const auto &Entry : Entries) {
    Total += Entry.Kind == Kind ? 1 : 0;
  }
  return Total;
}

std::vector<Access> AccessLog::Writes() const {
  std::vector<Access> Result;
  for (const auto &Entry : Entries) {
    if (Entry.IsWrite()) {
      Result.push_back(Entry);
    }
  }
  return Result;
}

} // namespace sim
