#include "cehost/utf.h"

#include <cstdint>

namespace cehost {

bool DecodeUtf8(std::string_view in, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < in.size();) {
        auto b = static_cast<unsigned char>(in[i]);
        uint32_t cp;
        size_t n;
        if (b < 0x80) {
            cp = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (i + n > in.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            auto c = static_cast<unsigned char>(in[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return true;
}

bool EncodeUtf8(std::u16string_view in, std::string* out) {
    out->clear();
    bool clean = true;
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
            clean = false;
        }
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return clean;
}

std::u16string Utf16(std::string_view utf8) {
    std::u16string out;
    if (DecodeUtf8(utf8, &out))
        return out;
    // Lenient fallback: one U+FFFD per byte that does not decode.
    out.clear();
    for (size_t i = 0; i < utf8.size(); ++i) {
        std::u16string one;
        bool done = false;
        for (size_t n = 4; n >= 1 && !done; --n)
            if (i + n <= utf8.size() && DecodeUtf8(utf8.substr(i, n), &one)) {
                out += one;
                i += n - 1;
                done = true;
            }
        if (!done)
            out.push_back(u'\uFFFD');
    }
    return out;
}

std::string Utf8(std::u16string_view utf16) {
    std::string out;
    EncodeUtf8(utf16, &out);
    return out;
}

}  // namespace cehost
