// The physical floor of decoded regions: libjpeg-turbo decoding whole, one after
// the other, the complete JPEG tiles named in a file of
//   <uint32 length><bytes>...
// (every stored tile under each patch, in patch order, repeats included), into
// one reused RGB buffer. Prints the seconds the decoding took.
//
//   g++ -O2 bench/region_floor.cpp -ljpeg -o region_floor && ./region_floor tiles.bin

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include <jpeglib.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<unsigned char> all((std::istreambuf_iterator<char>(in)), {});
  std::vector<unsigned char> rgb(4096 * 4096 * 3);
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  const auto start = std::chrono::steady_clock::now();
  std::size_t at = 0, tiles = 0;
  while (at + 4 <= all.size()) {
    std::uint32_t n;
    std::memcpy(&n, &all[at], 4);
    at += 4;
    jpeg_mem_src(&cinfo, &all[at], n);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const std::size_t stride = std::size_t{cinfo.output_width} * 3;
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = &rgb[cinfo.output_scanline * stride];
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    at += n;
    ++tiles;
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  jpeg_destroy_decompress(&cinfo);
  std::printf("%zu %.6f\n", tiles, s);
  return 0;
}
