#pragma once

namespace bench {

class Harness;

// The comparisons, by their number in the table. Each adds its figures to the harness, times
// its sides with alternate(), and marks a figure it could not measure (skip or missing).

// 1: photos to PNGs of at most 640 x 640, PhotoHost against vipsthumbnail and ImageMagick.
void photosToPng(Harness &harness);
// 2: uploads on loopback, uploadImage against curl sending the same bodies.
void uploads(Harness &harness);
// 3 and 5: the whole run of nubelo-export against vipsthumbnail + curl, and its peak memory.
void wholeRun(Harness &harness);
// 4: the sign-in round trip, in-process.
void signIn(Harness &harness);
// 6: the string helpers against what Qt and OpenSSL offer.
void supportLibrary(Harness &harness);
// 7: the whole run over an emulated home uplink, against curl sending the same PNG files and
// against the link's own floor.
void uplink(Harness &harness);

} // namespace bench
