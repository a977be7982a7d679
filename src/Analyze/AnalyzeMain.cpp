// Analyze/AnalyzeMain.cpp: ombrix-analyze, the analysis helper.
//
// Started by the daemon (AnalysisPool), never by people. Reads records on
// standard input, analyses each with FileInfo::analyze and answers on
// standard output with the analysed record and the log records the analysis
// wrote (AnalysisProtocol.h), until its input ends. It writes no log of its
// own: its records go back with each answer and the daemon writes them in
// the file's order.
//
// Start-up loads everything the analysers will need, then enters the
// sandbox (Sandbox.h) before the first request is read. Exit status 0 at the
// end of the input, 2 for a request that is not a record.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Analyze/Sandbox.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Media/AnalysisProtocol.h"
#include "Media/AvLibrary.h"
#include "Media/FileInfo.h"

namespace {

#ifdef OMBRIX_TEST_SEAMS
// Test builds only: a file named ombrix-crash-test* makes the analysis
// crash, and one named ombrix-sandbox-test-{write,socket,spawn}* makes it try
// what the sandbox forbids, so that recovery and confinement are tried on a
// real helper. A forbidden step must fail or end the process; if it
// succeeds, the helper answers as if nothing happened, which the tests
// notice.
void misbehaveIfAsked(const FileInfo& info) {
  const std::string& name = info.fileName;
  if (name.rfind("ombrix-crash-test", 0) == 0) abort();
  if (name.rfind("ombrix-sandbox-test", 0) != 0) return;
  bool hasEscaped = false;
  if (name.find("write") != std::string::npos) {
    FdHandle file(open((info.fullPathName + ".written").c_str(), O_WRONLY | O_CREAT, 0644));
    hasEscaped = file.isOpen();
  } else if (name.find("socket") != std::string::npos) {
    FdHandle socketFd(socket(AF_UNIX, SOCK_STREAM, 0));
    hasEscaped = socketFd.isOpen();
  } else if (name.find("spawn") != std::string::npos) {
    pid_t child;
    char* argv[] = {const_cast<char*>("true"), nullptr};
    hasEscaped = posix_spawn(&child, "/bin/true", nullptr, nullptr, argv, nullptr) == 0;
  }
  if (!hasEscaped) abort();
}
#else
void misbehaveIfAsked(const FileInfo&) {}
#endif

void serve() {
  std::string request;
  while (AnalysisProtocol::receiveMessage(STDIN_FILENO, request)) {
    FileInfo info;
    if (!AnalysisProtocol::decodeRecord(request, info)) _exit(2);
    misbehaveIfAsked(info);
    info.analyze();
    std::string answer = AnalysisProtocol::encodeAnswer(info, Logger::getInstance().takeCaptured());
    if (!AnalysisProtocol::sendMessage(STDOUT_FILENO, answer)) return;
  }
}

}  // namespace

int main() {
  // A Ctrl-C in a terminal reaches the whole process group; when to stop is
  // the daemon's business, and it tells us by ending our input.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // a daemon killed mid-file takes us along
  // Only the two pipes and standard error are ours to use; a descriptor
  // leaked from the daemon could be a way out of the sandbox.
  closefrom(STDERR_FILENO + 1);
  Logger::getInstance().startCapture();
  initAvLibrary();
  // Tag texts are converted from BIG5 or Latin-1, and glibc loads each
  // converter's code on first use (and again after its last user closes it).
  // Loaded now and kept, since the sandbox lets no new code be mapped.
  IconvHandle big5("UTF-8", "BIG5");
  IconvHandle latin1("UTF-8", "ISO-8859-1");
  Sandbox::enter();
  serve();
  // Not exit(): static destructors and the sanitizers' exit checks would
  // need system calls the sandbox no longer allows.
  _exit(0);
}
