// tests/HostileHelper.cpp: an analysis helper as a crafted file could make
// of a taken-over one. It speaks the protocol perfectly and analyses
// nothing: for the file F of each request it answers the bytes the test put
// in F.answer (an answer the test encoded, with whatever fields it chose),
// or, when there is none, the defaults of an unread file. Test builds only.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Media/AnalysisProtocol.h"
#include "Media/FileInfo.h"

int main() {
  std::string request;
  while (AnalysisProtocol::receiveMessage(STDIN_FILENO, request)) {
    FileInfo info;
    if (!AnalysisProtocol::decodeRecord(request, info)) return 2;
    std::ifstream prepared(info.fullPathName + ".answer", std::ios::binary);
    std::ostringstream answer;
    answer << prepared.rdbuf();
    if (!prepared) answer.str(AnalysisProtocol::encodeAnswer(info, {}));
    if (!AnalysisProtocol::sendMessage(STDOUT_FILENO, answer.str())) return 0;
  }
  return 0;
}
