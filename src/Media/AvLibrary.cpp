// Media/AvLibrary.cpp: placeholder until the video analysis lands.
#include "Media/AvLibrary.h"

void initAvLibrary() {}
