// tools/check/FolderWalk.cpp: the walk's listing rules without the writes.
//
// Kept in step with CatalogBuilder::walkDir, lookAtEntry and visitDirEntry:
// the same hidden-name test, the same opendir test for directories
// (Util::isDirExist is exactly that), Util::isFileExist for files, the
// extension rule of FileInfo::fill with lookupObjType, and the same loop
// guard by device and inode of the directories on the descent path.
#include "check/FolderWalk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "Common/Handles.h"
#include "Common/Util.h"
#include "Media/MediaTypes.h"

namespace check {
namespace {

constexpr size_t kProgressEvery = 4096;

// The kind the catalogue gives a file of this name: the text after the last
// "." is the extension, as FileInfo::fill takes it. 0 when it is not an
// image, audio or video file, which the walk leaves out.
int32_t cataloguedType(const char* name) {
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return 0;
  ObjType type = lookupObjType(dot + 1);
  return isCataloguedKind(type) ? static_cast<int32_t>(type) : 0;
}

using DirKey = std::pair<dev_t, ino_t>;

class Lister {
 public:
  explicit Lister(const std::function<void(size_t)>& progress) : progress(progress) {}

  void listFolder(const std::string& entry) {
    DirHandle dir(opendir(entry.c_str()));
    if (dir == nullptr) return;  // the caller has made sure it opens; it may vanish
    add(Util::removeLastSlash(entry), kDirectoryType);
    std::vector<DirKey> ancestors;
    listDir(entry, std::move(dir), ancestors);
  }

  std::vector<DiskPath> takePaths() { return std::move(paths); }

 private:
  void add(std::string path, int32_t type) {
    paths.push_back(DiskPath{std::move(path), type});
    if (progress && paths.size() % kProgressEvery == 0) progress(paths.size());
  }

  // dirPath ends in "/"; dir is its open stream, kept open while the
  // entries below are listed, as the walk keeps its own.
  void listDir(const std::string& dirPath, DirHandle dir, std::vector<DirKey>& ancestors) {
    struct stat status;
    bool isTracked = fstat(dirfd(dir.get()), &status) == 0;
    if (isTracked) ancestors.emplace_back(status.st_dev, status.st_ino);
    while (const dirent* entry = readdir(dir.get())) {
      if (entry->d_name[0] == '.') continue;
      std::string path = dirPath + entry->d_name;
      // A plain regular file cannot be opened as a directory: skip the try.
      DirHandle sub(entry->d_type == DT_REG ? nullptr : opendir(path.c_str()));
      if (sub != nullptr) {
        listSubdir(path, std::move(sub), ancestors);
        continue;
      }
      int32_t type = cataloguedType(entry->d_name);
      if (type != 0 && Util::isFileExist(path)) add(path, type);
    }
    if (isTracked) ancestors.pop_back();
  }

  // A directory met again on its own descent path is reached through a link
  // to an ancestor; the walk skips it, row and all.
  void listSubdir(const std::string& path, DirHandle sub, std::vector<DirKey>& ancestors) {
    struct stat status;
    if (fstat(dirfd(sub.get()), &status) == 0 &&
        std::find(ancestors.begin(), ancestors.end(), DirKey(status.st_dev, status.st_ino)) !=
            ancestors.end()) {
      return;
    }
    add(path, kDirectoryType);
    listDir(path + "/", std::move(sub), ancestors);
  }

  const std::function<void(size_t)>& progress;
  std::vector<DiskPath> paths;
};

}  // namespace

std::vector<DiskPath> listFolders(const std::vector<std::string>& folderEntries,
                                  const std::function<void(size_t)>& progress) {
  Lister lister(progress);
  for (const std::string& entry : folderEntries) lister.listFolder(entry);
  std::vector<DiskPath> paths = lister.takePaths();
  // Nested or repeated folders reach the same paths more than once; the walk
  // then meets rows that are already there, so each path counts once.
  std::stable_sort(paths.begin(), paths.end(),
                   [](const DiskPath& a, const DiskPath& b) { return a.path < b.path; });
  paths.erase(std::unique(paths.begin(), paths.end(),
                          [](const DiskPath& a, const DiskPath& b) { return a.path == b.path; }),
              paths.end());
  return paths;
}

}  // namespace check
