// The process's iconv_open, iconv and iconv_close. The FreeTDS driver converts every query text (to
// UTF-16LE for the wire) and every character value it hands over (from UTF-16LE or a code page to
// our UTF-8) with iconv, and the C library's converters take each character through UCS-4 with a
// call per step: a third of the client's time for long batches. The pairs the driver uses with our
// UTF-8 client character set are converted here, keeping iconv's contract (E2BIG, EILSEQ, EINVAL,
// the pointers and counts left at the first byte not converted); every other pair, and every name
// with a suffix such as //TRANSLIT, goes to the C library's converter.
#include <dlfcn.h>
#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

enum class Pair { Utf8ToUtf16Le, Utf16LeToUtf8, Cp1252ToUtf8 };

struct FastConverter {
    Pair pair;
};

FastConverter gUtf8ToUtf16Le{Pair::Utf8ToUtf16Le};
FastConverter gUtf16LeToUtf8{Pair::Utf16LeToUtf8};
FastConverter gCp1252ToUtf8{Pair::Cp1252ToUtf8};

FastConverter* Fast(iconv_t cd) {
    void* p = cd;
    if (p == &gUtf8ToUtf16Le) return &gUtf8ToUtf16Le;
    if (p == &gUtf16LeToUtf8) return &gUtf16LeToUtf8;
    if (p == &gCp1252ToUtf8) return &gCp1252ToUtf8;
    return nullptr;
}

using OpenFn = iconv_t (*)(const char*, const char*);
using ConvFn = size_t (*)(iconv_t, char**, size_t*, char**, size_t*);
using CloseFn = int (*)(iconv_t);

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool IsUtf8(const char* name) { return std::strcmp(name, "UTF-8") == 0 || std::strcmp(name, "UTF8") == 0; }

// Code points of CP1252's bytes 0x80-0x9F; 0 where the code page has no character (glibc refuses
// those bytes too).
constexpr std::array<char16_t, 32> kCp1252High = {0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                                  0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                                  0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

struct Cursor {
    const unsigned char* in;
    size_t inLeft;
    unsigned char* out;
    size_t outLeft;
};

int Utf8ToUtf16Le(Cursor& c) {
    while (c.inLeft) {
        // Runs of ASCII, eight bytes at a time.
        while (c.inLeft >= 8 && c.outLeft >= 16) {
            std::uint64_t w;
            std::memcpy(&w, c.in, 8);
            if (w & 0x8080808080808080ULL) break;
            for (int k = 0; k < 8; ++k) {
                c.out[2 * k] = c.in[k];
                c.out[2 * k + 1] = 0;
            }
            c.in += 8;
            c.inLeft -= 8;
            c.out += 16;
            c.outLeft -= 16;
        }
        if (!c.inLeft) break;
        const unsigned b = c.in[0];
        if (b < 0x80) {
            if (c.outLeft < 2) return E2BIG;
            c.out[0] = static_cast<unsigned char>(b);
            c.out[1] = 0;
            ++c.in;
            --c.inLeft;
            c.out += 2;
            c.outLeft -= 2;
            continue;
        }
        size_t len;
        char32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF7) {
            len = 4;
            cp = b & 0x07;
        } else if (b >= 0xF8 && b <= 0xFB) {
            len = 5;  // the old five- and six-byte forms are read, then refused as past U+10FFFF
            cp = b & 0x03;
        } else if (b >= 0xFC && b <= 0xFD) {
            len = 6;
            cp = b & 0x01;
        } else {
            return EILSEQ;
        }
        size_t k = 1;
        for (; k < len && k < c.inLeft; ++k) {
            if ((c.in[k] & 0xC0) != 0x80) return EILSEQ;
            cp = (cp << 6) | (c.in[k] & 0x3F);
        }
        if (k < len) return EINVAL;  // the input ends inside the character
        // Overlong forms and UTF-16 surrogates are refused first; a value past U+10FFFF only when
        // there is room for one unit, as the C library does.
        static constexpr char32_t kMin[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
        if (cp < kMin[len] || (cp >= 0xD800 && cp <= 0xDFFF)) return EILSEQ;
        if (c.outLeft < 2) return E2BIG;
        if (cp > 0x10FFFF) return EILSEQ;
        if (cp >= 0x10000) {
            if (c.outLeft < 4) return E2BIG;
            const char32_t v = cp - 0x10000;
            const char16_t hi = static_cast<char16_t>(0xD800 + (v >> 10)), lo = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
            c.out[0] = static_cast<unsigned char>(hi & 0xFF);
            c.out[1] = static_cast<unsigned char>(hi >> 8);
            c.out[2] = static_cast<unsigned char>(lo & 0xFF);
            c.out[3] = static_cast<unsigned char>(lo >> 8);
            c.out += 4;
            c.outLeft -= 4;
        } else {
            if (c.outLeft < 2) return E2BIG;
            c.out[0] = static_cast<unsigned char>(cp & 0xFF);
            c.out[1] = static_cast<unsigned char>(cp >> 8);
            c.out += 2;
            c.outLeft -= 2;
        }
        c.in += len;
        c.inLeft -= len;
    }
    return 0;
}

// Appends cp as UTF-8 if it fits.
bool PutUtf8(Cursor& c, char32_t cp) {
    if (cp < 0x80) {
        if (c.outLeft < 1) return false;
        c.out[0] = static_cast<unsigned char>(cp);
        c.out += 1;
        c.outLeft -= 1;
    } else if (cp < 0x800) {
        if (c.outLeft < 2) return false;
        c.out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        c.out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        c.out += 2;
        c.outLeft -= 2;
    } else if (cp < 0x10000) {
        if (c.outLeft < 3) return false;
        c.out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        c.out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        c.out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        c.out += 3;
        c.outLeft -= 3;
    } else {
        if (c.outLeft < 4) return false;
        c.out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
        c.out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        c.out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        c.out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        c.out += 4;
        c.outLeft -= 4;
    }
    return true;
}

int Utf16LeToUtf8(Cursor& c) {
    while (c.inLeft >= 2) {
        // Runs of ASCII, four units at a time.
        while (c.inLeft >= 8 && c.outLeft >= 4) {
            std::uint64_t w;
            std::memcpy(&w, c.in, 8);
            if (w & 0xFF80FF80FF80FF80ULL) break;
            for (int k = 0; k < 4; ++k) c.out[k] = c.in[2 * k];
            c.in += 8;
            c.inLeft -= 8;
            c.out += 4;
            c.outLeft -= 4;
        }
        if (c.inLeft < 2) break;
        char32_t cp = static_cast<char32_t>(c.in[0] | (c.in[1] << 8));
        size_t used = 2;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (c.inLeft < 4) return EINVAL;
            const char32_t lo = static_cast<char32_t>(c.in[2] | (c.in[3] << 8));
            if (lo < 0xDC00 || lo > 0xDFFF) return EILSEQ;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            used = 4;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return EILSEQ;
        }
        if (!PutUtf8(c, cp)) return E2BIG;
        c.in += used;
        c.inLeft -= used;
    }
    return c.inLeft ? EINVAL : 0;
}

int Cp1252ToUtf8(Cursor& c) {
    while (c.inLeft) {
        // Runs of ASCII, eight bytes at a time.
        while (c.inLeft >= 8 && c.outLeft >= 8) {
            std::uint64_t w;
            std::memcpy(&w, c.in, 8);
            if (w & 0x8080808080808080ULL) break;
            std::memcpy(c.out, c.in, 8);
            c.in += 8;
            c.inLeft -= 8;
            c.out += 8;
            c.outLeft -= 8;
        }
        if (!c.inLeft) break;
        const unsigned b = c.in[0];
        const char32_t cp = b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b;
        if (b >= 0x80 && cp == 0) return EILSEQ;
        if (!PutUtf8(c, cp)) return E2BIG;
        ++c.in;
        --c.inLeft;
    }
    return 0;
}

}  // namespace

extern "C" {

iconv_t iconv_open(const char* tocode, const char* fromcode) {
    if (IsUtf8(fromcode) && std::strcmp(tocode, "UTF-16LE") == 0) return &gUtf8ToUtf16Le;
    if (IsUtf8(tocode) && std::strcmp(fromcode, "UTF-16LE") == 0) return &gUtf16LeToUtf8;
    if (IsUtf8(tocode) && std::strcmp(fromcode, "CP1252") == 0) return &gCp1252ToUtf8;
    static const OpenFn next = Next<OpenFn>("iconv_open");
    if (!next) {
        errno = EINVAL;
        return reinterpret_cast<iconv_t>(-1);
    }
    return next(tocode, fromcode);
}

size_t iconv(iconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft) {
    if (FastConverter* f = Fast(cd)) {
        // No shift state: a reset, or a flush of nothing.
        if (!inbuf || !*inbuf) return 0;
        Cursor c{reinterpret_cast<const unsigned char*>(*inbuf), *inbytesleft, reinterpret_cast<unsigned char*>(*outbuf),
                 *outbytesleft};
        int err = 0;
        switch (f->pair) {
        case Pair::Utf8ToUtf16Le:
            err = Utf8ToUtf16Le(c);
            break;
        case Pair::Utf16LeToUtf8:
            err = Utf16LeToUtf8(c);
            break;
        case Pair::Cp1252ToUtf8:
            err = Cp1252ToUtf8(c);
            break;
        }
        *inbuf = const_cast<char*>(reinterpret_cast<const char*>(c.in));
        *inbytesleft = c.inLeft;
        *outbuf = reinterpret_cast<char*>(c.out);
        *outbytesleft = c.outLeft;
        if (err) {
            errno = err;
            return static_cast<size_t>(-1);
        }
        return 0;
    }
    static const ConvFn next = Next<ConvFn>("iconv");
    return next(cd, inbuf, inbytesleft, outbuf, outbytesleft);
}

int iconv_close(iconv_t cd) {
    if (Fast(cd)) return 0;
    static const CloseFn next = Next<CloseFn>("iconv_close");
    return next(cd);
}

}  // extern "C"
