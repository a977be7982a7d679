// Sync/Pipeline.h: the steps of a walk or an adjustment, written in order
// while the files among them are watched and analysed ahead.
//
// The caller adds steps in the order their rows must be written: actions
// (a directory row, a deletion, a map fill) and files. A file is watched if
// it is fresh and analysed (by the analysis helpers, several at a time) as
// soon as it is added; its row is written when its turn comes. So IDs,
// parents and records come out as if every step had waited for the one
// before it, while a hundred fresh files wait for the same two polls and
// two files are analysed at once.
//
// One exception to the order: a file whose size is still changing (it is
// being copied) is set aside and written once it is stable, so that it never
// holds back the files after it. Its row then gets a later ID. A file still
// being copied when everything else is done is handed back to the caller,
// for a later cycle: a copy may take many minutes, and the service goes on
// meanwhile. After a stop request no file not yet written is waited for:
// all are given up (the next start's check enters them); actions still run.
//
// The pipeline holds what it was given until it is written; the caller keeps
// it short (see kLookAhead).
#ifndef OMBRIX_SYNC_PIPELINE_H
#define OMBRIX_SYNC_PIPELINE_H

#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "Media/FileInfo.h"
#include "Sync/FileCataloguer.h"
#include "Sync/WatchSet.h"

class WriteGroup;

class Pipeline {
 public:
  // Steps in flight at most: enough that a hundred fresh files wait for the
  // same polls of the watch, small enough that memory does not grow with
  // the library.
  static constexpr size_t kLookAhead = 2048;
  // Files handed to analysis and not yet taken back, at most: many times
  // what the helpers' batches hold, so they never wait for work. Each one
  // queued costs the daemon a record of about a kilobyte, and a first build
  // of old files would otherwise keep the whole look-ahead queued.
  static constexpr size_t kAnalysisAhead = 256;

  // group, when given, holds the rows written while the pipeline waits for
  // an answer no longer than its age limit, and is committed before a wait
  // for the watch: the media server never waits long on our lock.
  Pipeline(FileCataloguer& cataloguer, WriteGroup* group);
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  void addAction(std::function<void()> action);
  // info is filled from the path and of a catalogued kind. write runs with
  // the analysed record in the file's turn; never for a file that vanished
  // or whose watch gave way to a shutdown.
  void addFile(const FileInfo& info, std::function<void(const FileInfo&)> write);

  bool isFull() const {
    return steps.size() + setAside.size() >= kLookAhead || analysing >= kAnalysisAhead;
  }

  // Runs the steps at the head that are ready; never waits.
  void runReady();
  // Waits until a step may have become ready (an answer, a poll).
  void waitForProgress();
  // Runs every step, waiting as needed, and returns the paths of the files
  // set aside that are still being copied (no longer watched here).
  std::vector<std::string> finish();

 private:
  struct Step {
    enum class Stage { Action, Watching, Analysing, Ready, Dropped };
    explicit Step(Stage first) : stage(first) {}

    Stage stage;
    std::function<void()> action;
    std::function<void(const FileInfo&)> write;
    FileInfo info;
    WatchSet::Id watchId = 0;
    FileCataloguer::AnalysisTicket ticket = 0;
  };

  void advance(Step& step);
  // Runs a ready step; false when it must wait.
  bool runIfReady(Step& step);

  FileCataloguer& cataloguer;
  WatchSet& watch;
  WriteGroup* group;
  std::deque<Step> steps;
  std::list<Step> setAside;
  size_t analysing = 0;  // steps in Stage::Analysing
};

#endif  // OMBRIX_SYNC_PIPELINE_H
