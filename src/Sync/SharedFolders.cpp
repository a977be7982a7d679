// Sync/SharedFolders.cpp: the shared folder list and the path tests on it.
#include "Sync/SharedFolders.h"

#include <algorithm>

#include "Common/Util.h"

namespace {

// True when a name after the "/" at position from, or after any later "/",
// begins with ".".
bool hasHiddenComponent(const std::string& path, size_t from) {
  for (size_t at = from; at != std::string::npos; at = path.find('/', at + 1)) {
    if (at + 1 < path.size() && path[at + 1] == '.') return true;
  }
  return false;
}

}  // namespace

void SharedFolders::add(std::string path) {
  folders.push_back(Util::addLastSlash(std::move(path)));
}

bool SharedFolders::isRootPath(const std::string& path) const {
  return std::any_of(folders.begin(), folders.end(), [&](const std::string& folder) {
    return path == Util::removeLastSlash(folder);
  });
}

bool SharedFolders::contains(const std::string& path) const {
  return std::any_of(folders.begin(), folders.end(), [&](const std::string& folder) {
    return path.compare(0, folder.size(), folder) == 0;
  });
}

// A folder nested in another may itself be hidden in the outer one (both
// /m/ and /m/.b/ shared): the walk of the inner folder enters its files, so
// a path counts as hidden only when it is hidden below every folder that
// holds it.
bool SharedFolders::isHiddenBelowFolder(const std::string& path) const {
  bool isHeld = false;
  for (const std::string& folder : folders) {
    if (path.compare(0, folder.size(), folder) != 0) continue;
    isHeld = true;
    if (!hasHiddenComponent(path, folder.size() - 1)) return false;
  }
  return isHeld;
}
