#pragma once
// Test pictures and their JPEG streams, made with libjpeg so that sampling
// factors, restart intervals, tables and coding modes can be chosen. Shared
// by the reference tests and the benchmark (native only).

#include <cstdio>

#include <jpeglib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "scene.h"

struct JpegRecipe {
    int width = 0, height = 0;
    bool gray = false;
    uint8_t sampling[3] = {0x22, 0x11, 0x11};  // h << 4 | v for Y, Cb, Cr
    int restartInterval = 0;                    // in MCUs
    int quality = 90;
    bool optimize = false;  // own Huffman tables rather than the standard ones
    bool progressive = false;
    bool arithmetic = false;
};

inline std::vector<uint8_t> EncodeWithLibjpeg(const JpegRecipe& r, const std::vector<uint8_t>& rgb) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(r.width);
    cinfo.image_height = static_cast<JDIMENSION>(r.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    if (r.gray) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
    jpeg_set_quality(&cinfo, r.quality, TRUE);
    for (int c = 0; c < cinfo.num_components; ++c) {
        cinfo.comp_info[c].h_samp_factor = r.gray ? 1 : r.sampling[c] >> 4;
        cinfo.comp_info[c].v_samp_factor = r.gray ? 1 : r.sampling[c] & 15;
    }
    cinfo.restart_interval = static_cast<unsigned>(r.restartInterval);
    cinfo.optimize_coding = r.optimize;
    cinfo.arith_code = r.arithmetic;
    if (r.progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&rgb[static_cast<size_t>(cinfo.next_scanline) * r.width * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> jpeg(buffer, buffer + size);
    std::free(buffer);
    return jpeg;
}
