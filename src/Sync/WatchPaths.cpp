// Sync/WatchPaths.cpp: the sorted table of watches and the arena of names.
#include "Sync/WatchPaths.h"

#include <algorithm>

namespace {

// Deeper than any real tree; a chain longer than this loops.
constexpr size_t kDeepest = 4096;

}  // namespace

void WatchPaths::append(int wd, int parentWd, const std::string& name) {
  entries.push_back({wd, parentWd, store(name)});
}

void WatchPaths::sort() {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.wd < b.wd; });
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const Entry& a, const Entry& b) { return a.wd == b.wd; }),
                entries.end());
}

// A replaced name stays in the arena until the next listing builds a new
// table: renames between two listings are few.
void WatchPaths::set(int wd, int parentWd, const std::string& name) {
  auto at = std::lower_bound(entries.begin(), entries.end(), wd,
                             [](const Entry& entry, int key) { return entry.wd < key; });
  Entry entry{wd, parentWd, store(name)};
  if (at != entries.end() && at->wd == wd) {
    *at = entry;
  } else {
    entries.insert(at, entry);
  }
}

void WatchPaths::remove(int wd) {
  const Entry* entry = find(wd);
  if (entry != nullptr) entries.erase(entries.begin() + (entry - entries.data()));
}

std::vector<int> WatchPaths::descriptors() const {
  std::vector<int> wds;
  wds.reserve(entries.size());
  for (const Entry& entry : entries) wds.push_back(entry.wd);
  return wds;
}

std::string WatchPaths::pathOf(int wd) const {
  std::vector<const char*> parts;  // from the directory up
  for (const Entry* entry = find(wd); entry != nullptr; entry = find(entry->parentWd)) {
    if (parts.size() == kDeepest) return "";
    parts.push_back(names.c_str() + entry->nameAt);
    if (entry->parentWd < 0) {
      std::string path = parts.back();
      for (auto part = parts.rbegin() + 1; part != parts.rend(); ++part)
        path += "/" + std::string(*part);
      return path;
    }
  }
  return "";
}

const WatchPaths::Entry* WatchPaths::find(int wd) const {
  auto at = std::lower_bound(entries.begin(), entries.end(), wd,
                             [](const Entry& entry, int key) { return entry.wd < key; });
  return at != entries.end() && at->wd == wd ? &*at : nullptr;
}

uint32_t WatchPaths::store(const std::string& name) {
  uint32_t at = static_cast<uint32_t>(names.size());
  names.append(name.c_str(), name.size() + 1);
  return at;
}
