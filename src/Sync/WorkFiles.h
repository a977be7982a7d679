// Sync/WorkFiles.h: the service home and the files the synchroniser keeps in
// its work directory, home/nstemp.
//
// Every path is the home directory (one trailing "/" removed) followed by a
// fixed name, so a home given as /srv and as /srv/ gives the same files.
#ifndef OMBRIX_SYNC_WORKFILES_H
#define OMBRIX_SYNC_WORKFILES_H

#include <string>

#include "Common/Util.h"

struct WorkFiles {
  explicit WorkFiles(const std::string& home)
      : homeDir(Util::removeLastSlash(home)),
        dbPath(homeDir + "/nstemp/daskor.db"),
        findOldPath(homeDir + "/nstemp/findOld.txt"),
        findNewPath(homeDir + "/nstemp/findNew.txt"),
        findDiffPath(homeDir + "/nstemp/findDiff.txt") {}

  std::string homeDir;
  std::string dbPath;        // the catalogue the media server reads
  std::string findOldPath;   // the previous listing of the shared folders
  std::string findNewPath;   // the listing being taken
  std::string findDiffPath;  // the difference the adjustment applies
};

#endif  // OMBRIX_SYNC_WORKFILES_H
