// Sync/WatchPaths.h: the directory each change-notice watch is on, in 12
// bytes and the directory's name a watch.
//
// A notice names its directory by watch descriptor and the entry in it by
// name only. To watch a directory the moment it is created, and to tell
// which file was closed, the path of the watched directory is needed. It is
// not kept whole: a watch below another keeps that watch's descriptor and
// the rest of the path (its name, as a rule), a watch below none (a shared
// folder's root) its whole path, and pathOf puts the path together. The
// names sit end to end in one string.
//
// Thread-safety: none; the owner's thread only.
#ifndef OMBRIX_SYNC_WATCHPATHS_H
#define OMBRIX_SYNC_WATCHPATHS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class WatchPaths {
 public:
  // Adds wd below parentWd (-1: below none) as name, while the set is
  // being built: the first place given for a descriptor counts (a directory
  // reached again through a link keeps the path it was first listed at).
  // Call sort() before anything else.
  void append(int wd, int parentWd, const std::string& name);
  void sort();

  // Adds wd, or moves it to its new place.
  void set(int wd, int parentWd, const std::string& name);
  void remove(int wd);
  bool contains(int wd) const { return find(wd) != nullptr; }
  size_t size() const { return entries.size(); }
  // The descriptors, ascending.
  std::vector<int> descriptors() const;

  // wd's directory without a trailing "/" ("" for "/" itself); "" also when
  // wd is not known, or the chain of its parents is broken (a parent
  // removed) or loops (directories moved into each other since the last
  // listing).
  std::string pathOf(int wd) const;

 private:
  struct Entry {
    int wd;
    int parentWd;
    uint32_t nameAt;  // in names
  };

  const Entry* find(int wd) const;
  uint32_t store(const std::string& name);

  std::vector<Entry> entries;  // by wd, once sorted
  std::string names;           // each followed by a NUL
};

#endif  // OMBRIX_SYNC_WATCHPATHS_H
