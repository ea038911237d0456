// The coders each thread keeps for the entries it compresses and decompresses.
#pragma once

// Frees the compressors and the decompressor that the calling thread has made. Worker threads
// that compress or decompress entries call it before they end.
void ReleaseThreadCoders();
