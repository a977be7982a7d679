// Media/AvLibrary.h: the one start-up initialisation of libavformat.
#ifndef OMBRIX_MEDIA_AVLIBRARY_H
#define OMBRIX_MEDIA_AVLIBRARY_H

// Called once by the entry point before any file is analysed.
void initAvLibrary();

#endif  // OMBRIX_MEDIA_AVLIBRARY_H
