// tests/HostileHelper.cpp: an analysis parent whose workers act as a crafted
// file could make a taken-over one act. They speak the protocol and analyse
// nothing: for the file F of each request a worker answers the bytes the
// test put in F.answer (an answer the test encoded with whatever fields it
// chose, or garbage), or, when there is none, the defaults of an unread
// file. When F.hang exists the worker waits on its input instead (nothing
// more comes until it answers); when F.split exists it writes the answer a
// few bytes at a time, so that it arrives in several reads. Test builds
// only.
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "Common/Util.h"
#include "Media/AnalysisProtocol.h"
#include "Media/FileInfo.h"
#include "Media/WorkerParent.h"

namespace {

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

bool writeInPieces(const std::string& framed) {
  const struct timespec pause = {0, 10000000};
  for (size_t at = 0; at < framed.size(); at += 3) {
    if (!Util::writeAll(STDOUT_FILENO, framed.data() + at, std::min<size_t>(3, framed.size() - at)))
      return false;
    nanosleep(&pause, nullptr);
  }
  return true;
}

bool answer(const FileInfo& info) {
  const std::string& path = info.fullPathName;
  if (exists(path + ".hang")) {
    char byte;
    return read(STDIN_FILENO, &byte, 1) > 0;
  }
  std::ifstream prepared(path + ".answer", std::ios::binary);
  std::ostringstream bytes;
  bytes << prepared.rdbuf();
  if (!prepared) bytes.str(AnalysisProtocol::encodeAnswer(info, {}));
  if (exists(path + ".split")) return writeInPieces(AnalysisProtocol::frame(bytes.str()));
  return AnalysisProtocol::sendMessage(STDOUT_FILENO, bytes.str());
}

void work() {
  std::string request;
  std::vector<FileInfo> files;
  while (AnalysisProtocol::receiveMessage(STDIN_FILENO, request)) {
    if (!AnalysisProtocol::decodeRequest(request, files)) _exit(2);
    for (const FileInfo& info : files) {
      if (!answer(info)) _exit(0);
    }
  }
  _exit(0);
}

}  // namespace

int main() {
  WorkerParent::serve(STDIN_FILENO, work);
  return 0;
}
