#pragma once

#include <QtGlobal>

#include <cstddef>
#include <type_traits>

// Per-photo export settings handed to ExportMgr::exportImageAtIndex(). Six 32-bit fields.
struct ImageExportSettings {
    quint32 format = 0; // four-character code, first character in the high byte
    qint32 quality = 0;
    float floatOption = 0.0f;
    qint32 width = 0;
    qint32 height = 0;
    qint32 metadata = 0;
};

// Four-character code as the host expects it: 'PNGf' is 0x504E4766.
constexpr quint32 fourCharCode(const char (&code)[5]) {
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16) |
           (quint32(quint8(code[2])) << 8) | quint32(quint8(code[3]));
}
inline constexpr quint32 kFormatPNG = fourCharCode("PNGf");
static_assert(kFormatPNG == 0x504E4766);

static_assert(std::is_standard_layout_v<ImageExportSettings>);
static_assert(sizeof(float) == 4 && sizeof(ImageExportSettings) == 24);
static_assert(offsetof(ImageExportSettings, format) == 0);
static_assert(offsetof(ImageExportSettings, quality) == 4);
static_assert(offsetof(ImageExportSettings, floatOption) == 8);
static_assert(offsetof(ImageExportSettings, width) == 12);
static_assert(offsetof(ImageExportSettings, height) == 16);
static_assert(offsetof(ImageExportSettings, metadata) == 20);
