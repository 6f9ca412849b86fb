#pragma once
// Short AVI clips of the test pattern, written by the tests that play them
// through the file cameras: raw YUY2 or MJPG frames whose counters run 0, 1,
// 2 ..., so a picture read back is checked with the pattern's own checkers.
// The writer knows just enough of RIFF AVI (AVI 1.0 with an idx1 index) for
// one video stream of key frames.

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "camera/file_camera.h"
#include "camera/test_pattern.h"
#include "camera/test_pattern_picture.h"
#include "capture/jpeg_win.h"

namespace test_clips {

constexpr int32_t CLIP_WIDTH = 320;
constexpr int32_t CLIP_HEIGHT = 180;
constexpr uint32_t CLIP_FRAMES = 6;
// Frames a second: not the 30 that the pacer assumes for a clip that states
// none, so that a rate lost on its way to the pacer shows.
constexpr uint32_t CLIP_RATE = 25;

class RiffWriter {
public:
    void U16(uint16_t value) { Bytes(&value, 2); }
    void U32(uint32_t value) { Bytes(&value, 4); }
    void Id(const char* fourcc) { Bytes(fourcc, 4); }
    void Bytes(const void* data, size_t size) {
        const auto* from = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), from, from + size);
    }
    // A chunk (or, with `listType`, a LIST or RIFF) whose size Close fills in.
    size_t Open(const char* id, const char* listType = nullptr) {
        Id(id);
        const size_t at = bytes.size();
        U32(0);
        if (listType) Id(listType);
        return at;
    }
    void Close(size_t at) {
        const uint32_t size = static_cast<uint32_t>(bytes.size() - at - 4);
        std::memcpy(bytes.data() + at, &size, 4);
        if (size % 2) bytes.push_back(0);  // chunks start on even offsets
    }
    std::vector<uint8_t> bytes;
};

// The AVI file of these frames, `fourcc` ("YUY2" or "MJPG") at `bitCount`
// bits a pixel.
inline std::vector<uint8_t> AviOf(const std::vector<std::vector<uint8_t>>& frames, const char* fourcc,
                                  uint16_t bitCount, int32_t width, int32_t height, uint32_t rate) {
    size_t largest = 0;
    for (const auto& frame : frames) largest = std::max(largest, frame.size());
    const uint32_t count = static_cast<uint32_t>(frames.size());
    RiffWriter avi;
    const size_t riff = avi.Open("RIFF", "AVI ");
    const size_t header = avi.Open("LIST", "hdrl");
    const size_t main = avi.Open("avih");
    for (uint32_t value : {1000000 / rate, static_cast<uint32_t>(largest * rate), 0u, 0x10u /* AVIF_HASINDEX */,
                           count, 0u, 1u, static_cast<uint32_t>(largest), static_cast<uint32_t>(width),
                           static_cast<uint32_t>(height), 0u, 0u, 0u, 0u}) {
        avi.U32(value);
    }
    avi.Close(main);
    const size_t stream = avi.Open("LIST", "strl");
    const size_t streamHeader = avi.Open("strh");
    avi.Id("vids");
    avi.Id(fourcc);
    for (uint32_t value : {0u, 0u, 0u, 1u, rate, 0u, count, static_cast<uint32_t>(largest), 0xFFFFFFFFu, 0u}) {
        avi.U32(value);  // flags, priority and language, initial frames, scale, rate, start, length, ...
    }
    for (int16_t value : {int16_t{0}, int16_t{0}, static_cast<int16_t>(width), static_cast<int16_t>(height)}) {
        avi.U16(static_cast<uint16_t>(value));
    }
    avi.Close(streamHeader);
    const size_t format = avi.Open("strf");  // BITMAPINFOHEADER
    avi.U32(40);
    avi.U32(static_cast<uint32_t>(width));
    avi.U32(static_cast<uint32_t>(height));
    avi.U16(1);
    avi.U16(bitCount);
    avi.Id(fourcc);
    for (uint32_t value : {static_cast<uint32_t>(largest), 0u, 0u, 0u, 0u}) avi.U32(value);
    avi.Close(format);
    avi.Close(stream);
    avi.Close(header);
    const size_t movie = avi.Open("LIST", "movi");
    std::vector<uint32_t> offsets;  // from the "movi" identifier, as idx1 counts them
    for (const auto& frame : frames) {
        offsets.push_back(static_cast<uint32_t>(avi.bytes.size() - (movie + 4)));
        const size_t chunk = avi.Open("00dc");
        avi.Bytes(frame.data(), frame.size());
        avi.Close(chunk);
    }
    avi.Close(movie);
    const size_t index = avi.Open("idx1");
    for (size_t i = 0; i < frames.size(); ++i) {
        avi.Id("00dc");
        avi.U32(0x10);  // AVIIF_KEYFRAME
        avi.U32(offsets[i]);
        avi.U32(static_cast<uint32_t>(frames[i].size()));
    }
    avi.Close(index);
    avi.Close(riff);
    return avi.bytes;
}

// The pattern with this counter as YUY2 bytes (top row first), or as a JPEG
// stream for MJPG; empty when the encoder fails.
inline std::vector<uint8_t> PatternFrame(PixelFormat subtype, int32_t width, int32_t height, uint32_t counter) {
    if (subtype == PixelFormat::YUY2) {
        std::vector<uint8_t> bytes;
        bytes.reserve(static_cast<size_t>(width) * height * 2);
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; x += 2) {  // every edge is even: both pixels share a colour
                const auto yuv = test_pattern_picture::ToYuv(TestPatternColourAt(x, y, counter, width, height));
                for (uint8_t byte : {yuv.y, yuv.u, yuv.y, yuv.v}) bytes.push_back(byte);
            }
        }
        return bytes;
    }
    CapturedFrame picture;
    picture.width = width;
    picture.height = height;
    picture.stride = PaddedStride(width);
    picture.pixels.assign(static_cast<size_t>(picture.stride) * height, 0);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = picture.pixels.data() + static_cast<size_t>(height - 1 - y) * picture.stride;
        for (int32_t x = 0; x < width; ++x) {
            const TestPatternColour colour = TestPatternColourAt(x, y, counter, width, height);
            row[3 * x] = colour.blue, row[3 * x + 1] = colour.green, row[3 * x + 2] = colour.red;
        }
    }
    std::vector<uint8_t> jpeg;
    return EncodeJpegFrame(picture, jpeg) ? jpeg : std::vector<uint8_t>{};
}

// Writes the clip (CLIP_FRAMES frames of CLIP_WIDTH x CLIP_HEIGHT at
// CLIP_RATE) into `folder` and returns its file camera's link; empty on
// failure. MJPG needs COM on the calling thread for the encoder.
inline std::wstring WriteClip(const std::wstring& folder, PixelFormat subtype, int32_t width = CLIP_WIDTH,
                              int32_t height = CLIP_HEIGHT) {
    const bool yuy2 = subtype == PixelFormat::YUY2;
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t counter = 0; counter < CLIP_FRAMES; ++counter) {
        frames.push_back(PatternFrame(subtype, width, height, counter));
        if (frames.back().empty()) return {};
    }
    const std::vector<uint8_t> avi = AviOf(frames, yuy2 ? "YUY2" : "MJPG", yuy2 ? 16 : 24, width, height, CLIP_RATE);
    const std::wstring path = folder + (yuy2 ? L"\\pattern-yuy2.avi" : L"\\pattern-mjpg.avi");
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(avi.data()), static_cast<std::streamsize>(avi.size()));
    out.close();
    return out ? FILE_CAMERA_SCHEME + path : std::wstring{};
}

}  // namespace test_clips
