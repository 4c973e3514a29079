// The sound files behind the wave nodes: the node library's WaveAccess over the sound object.
//
// InstallNodeWaveAccess puts one process-wide instance in place (the programs call it at
// start-up, next to the sound layer's own factory; later calls change nothing). The compiler's
// sounds are AU-style temporary files (QUAVn.TMP) named by platform/temp_names.h and removed with
// the program's other temporary files; sources are opened through the sound-file readers, read
// only; saving writes a PCM WAVE file beside the target and renames it over it.
//
// Used on the user-interface thread.
#pragma once

void InstallNodeWaveAccess();
