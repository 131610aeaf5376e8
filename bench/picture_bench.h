// The host on PNG and JPEG: the 24 MP photo flattened from PNG to PNG and
// from JPEG to PNG, against a plain libspng decode and encode (and a
// libjpeg-turbo decode) of the same image with the same settings.
#ifndef QUENVALE_PICTURE_BENCH_H
#define QUENVALE_PICTURE_BENCH_H

#include <string>

namespace quenvale_bench {

void ReportPictures(int runs, const std::string& dir, const std::string& photoBmp, const std::string& host,
                    bool imageMagick);
// --colors N against one flatten at 20 on the photo in memory, and the PNG
// of the result at 256 colours: the smallest encoding against the source's
// type with its rows filtered by the sample's choice and by libspng's own.
void ReportColors(int runs, const std::string& photoBmp);

}  // namespace quenvale_bench

#endif
