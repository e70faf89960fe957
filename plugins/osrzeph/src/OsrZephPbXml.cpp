#include "OsrZephPbXml.h"

#include <algorithm>
#include <cstdint>
#include <locale>
#include <sstream>
#include <vector>

#include <google/protobuf/descriptor.pb.h>

namespace Zeph {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// ---- UTF-8 ----------------------------------------------------------------------------------

// Length (1 to 4) of the well-formed UTF-8 sequence at `s` (`n` bytes available), with its
// code point in `cp`; 0 when the byte does not start one (stray continuation byte, overlong
// form, encoded surrogate, beyond U+10FFFF, truncated).
size_t DecodeUtf8(const unsigned char* s, size_t n, uint32_t& cp) {
    const unsigned char c = s[0];
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
        if (c == 0xE0) {
            lo = 0xA0;
        } else if (c == 0xED) {
            hi = 0x9F;
        }
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
        if (c == 0xF0) {
            lo = 0x90;
        } else if (c == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi) {
        return 0;
    }
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    return len;
}

const char kReplacementChar[] = "\xEF\xBF\xBD";  // U+FFFD

// ---- XML names --------------------------------------------------------------------------

struct CodeRange {
    uint32_t first;
    uint32_t last;
};

// The non-ASCII name characters of XML 1.0 up to its fourth edition (Unicode 2.0 letters,
// digits, combining marks and extenders). Later editions allow more, but parsers that follow
// the older tables (expat among them) reject those, so only these are kept as they are.
// Characters that may start a name:
const CodeRange kNameStartRanges[] = {
    {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x0131}, {0x0134, 0x013E}, {0x0141, 0x0148},
    {0x014A, 0x017E}, {0x0180, 0x01C3}, {0x01CD, 0x01F0}, {0x01F4, 0x01F5}, {0x01FA, 0x0217},
    {0x0250, 0x02A8}, {0x02BB, 0x02C1}, {0x0386, 0x0386}, {0x0388, 0x038A}, {0x038C, 0x038C},
    {0x038E, 0x03A1}, {0x03A3, 0x03CE}, {0x03D0, 0x03D6}, {0x03DA, 0x03DA}, {0x03DC, 0x03DC},
    {0x03DE, 0x03DE}, {0x03E0, 0x03E0}, {0x03E2, 0x03F3}, {0x0401, 0x040C}, {0x040E, 0x044F},
    {0x0451, 0x045C}, {0x045E, 0x0481}, {0x0490, 0x04C4}, {0x04C7, 0x04C8}, {0x04CB, 0x04CC},
    {0x04D0, 0x04EB}, {0x04EE, 0x04F5}, {0x04F8, 0x04F9}, {0x0531, 0x0556}, {0x0559, 0x0559},
    {0x0561, 0x0586}, {0x05D0, 0x05EA}, {0x05F0, 0x05F2}, {0x0621, 0x063A}, {0x0641, 0x064A},
    {0x0671, 0x06B7}, {0x06BA, 0x06BE}, {0x06C0, 0x06CE}, {0x06D0, 0x06D3}, {0x06D5, 0x06D5},
    {0x06E5, 0x06E6}, {0x0905, 0x0939}, {0x093D, 0x093D}, {0x0958, 0x0961}, {0x0985, 0x098C},
    {0x098F, 0x0990}, {0x0993, 0x09A8}, {0x09AA, 0x09B0}, {0x09B2, 0x09B2}, {0x09B6, 0x09B9},
    {0x09DC, 0x09DD}, {0x09DF, 0x09E1}, {0x09F0, 0x09F1}, {0x0A05, 0x0A0A}, {0x0A0F, 0x0A10},
    {0x0A13, 0x0A28}, {0x0A2A, 0x0A30}, {0x0A32, 0x0A33}, {0x0A35, 0x0A36}, {0x0A38, 0x0A39},
    {0x0A59, 0x0A5C}, {0x0A5E, 0x0A5E}, {0x0A72, 0x0A74}, {0x0A85, 0x0A8B}, {0x0A8D, 0x0A8D},
    {0x0A8F, 0x0A91}, {0x0A93, 0x0AA8}, {0x0AAA, 0x0AB0}, {0x0AB2, 0x0AB3}, {0x0AB5, 0x0AB9},
    {0x0ABD, 0x0ABD}, {0x0AE0, 0x0AE0}, {0x0B05, 0x0B0C}, {0x0B0F, 0x0B10}, {0x0B13, 0x0B28},
    {0x0B2A, 0x0B30}, {0x0B32, 0x0B33}, {0x0B36, 0x0B39}, {0x0B3D, 0x0B3D}, {0x0B5C, 0x0B5D},
    {0x0B5F, 0x0B61}, {0x0B85, 0x0B8A}, {0x0B8E, 0x0B90}, {0x0B92, 0x0B95}, {0x0B99, 0x0B9A},
    {0x0B9C, 0x0B9C}, {0x0B9E, 0x0B9F}, {0x0BA3, 0x0BA4}, {0x0BA8, 0x0BAA}, {0x0BAE, 0x0BB5},
    {0x0BB7, 0x0BB9}, {0x0C05, 0x0C0C}, {0x0C0E, 0x0C10}, {0x0C12, 0x0C28}, {0x0C2A, 0x0C33},
    {0x0C35, 0x0C39}, {0x0C60, 0x0C61}, {0x0C85, 0x0C8C}, {0x0C8E, 0x0C90}, {0x0C92, 0x0CA8},
    {0x0CAA, 0x0CB3}, {0x0CB5, 0x0CB9}, {0x0CDE, 0x0CDE}, {0x0CE0, 0x0CE1}, {0x0D05, 0x0D0C},
    {0x0D0E, 0x0D10}, {0x0D12, 0x0D28}, {0x0D2A, 0x0D39}, {0x0D60, 0x0D61}, {0x0E01, 0x0E2E},
    {0x0E30, 0x0E30}, {0x0E32, 0x0E33}, {0x0E40, 0x0E45}, {0x0E81, 0x0E82}, {0x0E84, 0x0E84},
    {0x0E87, 0x0E88}, {0x0E8A, 0x0E8A}, {0x0E8D, 0x0E8D}, {0x0E94, 0x0E97}, {0x0E99, 0x0E9F},
    {0x0EA1, 0x0EA3}, {0x0EA5, 0x0EA5}, {0x0EA7, 0x0EA7}, {0x0EAA, 0x0EAB}, {0x0EAD, 0x0EAE},
    {0x0EB0, 0x0EB0}, {0x0EB2, 0x0EB3}, {0x0EBD, 0x0EBD}, {0x0EC0, 0x0EC4}, {0x0F40, 0x0F47},
    {0x0F49, 0x0F69}, {0x10A0, 0x10C5}, {0x10D0, 0x10F6}, {0x1100, 0x1100}, {0x1102, 0x1103},
    {0x1105, 0x1107}, {0x1109, 0x1109}, {0x110B, 0x110C}, {0x110E, 0x1112}, {0x113C, 0x113C},
    {0x113E, 0x113E}, {0x1140, 0x1140}, {0x114C, 0x114C}, {0x114E, 0x114E}, {0x1150, 0x1150},
    {0x1154, 0x1155}, {0x1159, 0x1159}, {0x115F, 0x1161}, {0x1163, 0x1163}, {0x1165, 0x1165},
    {0x1167, 0x1167}, {0x1169, 0x1169}, {0x116D, 0x116E}, {0x1172, 0x1173}, {0x1175, 0x1175},
    {0x119E, 0x119E}, {0x11A8, 0x11A8}, {0x11AB, 0x11AB}, {0x11AE, 0x11AF}, {0x11B7, 0x11B8},
    {0x11BA, 0x11BA}, {0x11BC, 0x11C2}, {0x11EB, 0x11EB}, {0x11F0, 0x11F0}, {0x11F9, 0x11F9},
    {0x1E00, 0x1E9B}, {0x1EA0, 0x1EF9}, {0x1F00, 0x1F15}, {0x1F18, 0x1F1D}, {0x1F20, 0x1F45},
    {0x1F48, 0x1F4D}, {0x1F50, 0x1F57}, {0x1F59, 0x1F59}, {0x1F5B, 0x1F5B}, {0x1F5D, 0x1F5D},
    {0x1F5F, 0x1F7D}, {0x1F80, 0x1FB4}, {0x1FB6, 0x1FBC}, {0x1FBE, 0x1FBE}, {0x1FC2, 0x1FC4},
    {0x1FC6, 0x1FCC}, {0x1FD0, 0x1FD3}, {0x1FD6, 0x1FDB}, {0x1FE0, 0x1FEC}, {0x1FF2, 0x1FF4},
    {0x1FF6, 0x1FFC}, {0x2126, 0x2126}, {0x212A, 0x212B}, {0x212E, 0x212E}, {0x2180, 0x2182},
    {0x3007, 0x3007}, {0x3021, 0x3029}, {0x3041, 0x3094}, {0x30A1, 0x30FA}, {0x3105, 0x312C},
    {0x4E00, 0x9FA5}, {0xAC00, 0xD7A3},
};
// Characters that may stand in a name (a superset of the above):
const CodeRange kNameRanges[] = {
    {0x00B7, 0x00B7}, {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x0131}, {0x0134, 0x013E},
    {0x0141, 0x0148}, {0x014A, 0x017E}, {0x0180, 0x01C3}, {0x01CD, 0x01F0}, {0x01F4, 0x01F5},
    {0x01FA, 0x0217}, {0x0250, 0x02A8}, {0x02BB, 0x02C1}, {0x02D0, 0x02D1}, {0x0300, 0x0345},
    {0x0360, 0x0361}, {0x0386, 0x038A}, {0x038C, 0x038C}, {0x038E, 0x03A1}, {0x03A3, 0x03CE},
    {0x03D0, 0x03D6}, {0x03DA, 0x03DA}, {0x03DC, 0x03DC}, {0x03DE, 0x03DE}, {0x03E0, 0x03E0},
    {0x03E2, 0x03F3}, {0x0401, 0x040C}, {0x040E, 0x044F}, {0x0451, 0x045C}, {0x045E, 0x0481},
    {0x0483, 0x0486}, {0x0490, 0x04C4}, {0x04C7, 0x04C8}, {0x04CB, 0x04CC}, {0x04D0, 0x04EB},
    {0x04EE, 0x04F5}, {0x04F8, 0x04F9}, {0x0531, 0x0556}, {0x0559, 0x0559}, {0x0561, 0x0586},
    {0x0591, 0x05A1}, {0x05A3, 0x05B9}, {0x05BB, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C4}, {0x05D0, 0x05EA}, {0x05F0, 0x05F2}, {0x0621, 0x063A}, {0x0640, 0x0652},
    {0x0660, 0x0669}, {0x0670, 0x06B7}, {0x06BA, 0x06BE}, {0x06C0, 0x06CE}, {0x06D0, 0x06D3},
    {0x06D5, 0x06E8}, {0x06EA, 0x06ED}, {0x06F0, 0x06F9}, {0x0901, 0x0903}, {0x0905, 0x0939},
    {0x093C, 0x094D}, {0x0951, 0x0954}, {0x0958, 0x0963}, {0x0966, 0x096F}, {0x0981, 0x0983},
    {0x0985, 0x098C}, {0x098F, 0x0990}, {0x0993, 0x09A8}, {0x09AA, 0x09B0}, {0x09B2, 0x09B2},
    {0x09B6, 0x09B9}, {0x09BC, 0x09BC}, {0x09BE, 0x09C4}, {0x09C7, 0x09C8}, {0x09CB, 0x09CD},
    {0x09D7, 0x09D7}, {0x09DC, 0x09DD}, {0x09DF, 0x09E3}, {0x09E6, 0x09F1}, {0x0A02, 0x0A02},
    {0x0A05, 0x0A0A}, {0x0A0F, 0x0A10}, {0x0A13, 0x0A28}, {0x0A2A, 0x0A30}, {0x0A32, 0x0A33},
    {0x0A35, 0x0A36}, {0x0A38, 0x0A39}, {0x0A3C, 0x0A3C}, {0x0A3E, 0x0A42}, {0x0A47, 0x0A48},
    {0x0A4B, 0x0A4D}, {0x0A59, 0x0A5C}, {0x0A5E, 0x0A5E}, {0x0A66, 0x0A74}, {0x0A81, 0x0A83},
    {0x0A85, 0x0A8B}, {0x0A8D, 0x0A8D}, {0x0A8F, 0x0A91}, {0x0A93, 0x0AA8}, {0x0AAA, 0x0AB0},
    {0x0AB2, 0x0AB3}, {0x0AB5, 0x0AB9}, {0x0ABC, 0x0AC5}, {0x0AC7, 0x0AC9}, {0x0ACB, 0x0ACD},
    {0x0AE0, 0x0AE0}, {0x0AE6, 0x0AEF}, {0x0B01, 0x0B03}, {0x0B05, 0x0B0C}, {0x0B0F, 0x0B10},
    {0x0B13, 0x0B28}, {0x0B2A, 0x0B30}, {0x0B32, 0x0B33}, {0x0B36, 0x0B39}, {0x0B3C, 0x0B43},
    {0x0B47, 0x0B48}, {0x0B4B, 0x0B4D}, {0x0B56, 0x0B57}, {0x0B5C, 0x0B5D}, {0x0B5F, 0x0B61},
    {0x0B66, 0x0B6F}, {0x0B82, 0x0B83}, {0x0B85, 0x0B8A}, {0x0B8E, 0x0B90}, {0x0B92, 0x0B95},
    {0x0B99, 0x0B9A}, {0x0B9C, 0x0B9C}, {0x0B9E, 0x0B9F}, {0x0BA3, 0x0BA4}, {0x0BA8, 0x0BAA},
    {0x0BAE, 0x0BB5}, {0x0BB7, 0x0BB9}, {0x0BBE, 0x0BC2}, {0x0BC6, 0x0BC8}, {0x0BCA, 0x0BCD},
    {0x0BD7, 0x0BD7}, {0x0BE7, 0x0BEF}, {0x0C01, 0x0C03}, {0x0C05, 0x0C0C}, {0x0C0E, 0x0C10},
    {0x0C12, 0x0C28}, {0x0C2A, 0x0C33}, {0x0C35, 0x0C39}, {0x0C3E, 0x0C44}, {0x0C46, 0x0C48},
    {0x0C4A, 0x0C4D}, {0x0C55, 0x0C56}, {0x0C60, 0x0C61}, {0x0C66, 0x0C6F}, {0x0C82, 0x0C83},
    {0x0C85, 0x0C8C}, {0x0C8E, 0x0C90}, {0x0C92, 0x0CA8}, {0x0CAA, 0x0CB3}, {0x0CB5, 0x0CB9},
    {0x0CBE, 0x0CC4}, {0x0CC6, 0x0CC8}, {0x0CCA, 0x0CCD}, {0x0CD5, 0x0CD6}, {0x0CDE, 0x0CDE},
    {0x0CE0, 0x0CE1}, {0x0CE6, 0x0CEF}, {0x0D02, 0x0D03}, {0x0D05, 0x0D0C}, {0x0D0E, 0x0D10},
    {0x0D12, 0x0D28}, {0x0D2A, 0x0D39}, {0x0D3E, 0x0D43}, {0x0D46, 0x0D48}, {0x0D4A, 0x0D4D},
    {0x0D57, 0x0D57}, {0x0D60, 0x0D61}, {0x0D66, 0x0D6F}, {0x0E01, 0x0E2E}, {0x0E30, 0x0E3A},
    {0x0E40, 0x0E4E}, {0x0E50, 0x0E59}, {0x0E81, 0x0E82}, {0x0E84, 0x0E84}, {0x0E87, 0x0E88},
    {0x0E8A, 0x0E8A}, {0x0E8D, 0x0E8D}, {0x0E94, 0x0E97}, {0x0E99, 0x0E9F}, {0x0EA1, 0x0EA3},
    {0x0EA5, 0x0EA5}, {0x0EA7, 0x0EA7}, {0x0EAA, 0x0EAB}, {0x0EAD, 0x0EAE}, {0x0EB0, 0x0EB9},
    {0x0EBB, 0x0EBD}, {0x0EC0, 0x0EC4}, {0x0EC6, 0x0EC6}, {0x0EC8, 0x0ECD}, {0x0ED0, 0x0ED9},
    {0x0F18, 0x0F19}, {0x0F20, 0x0F29}, {0x0F35, 0x0F35}, {0x0F37, 0x0F37}, {0x0F39, 0x0F39},
    {0x0F3E, 0x0F47}, {0x0F49, 0x0F69}, {0x0F71, 0x0F84}, {0x0F86, 0x0F8B}, {0x0F90, 0x0F95},
    {0x0F97, 0x0F97}, {0x0F99, 0x0FAD}, {0x0FB1, 0x0FB7}, {0x0FB9, 0x0FB9}, {0x10A0, 0x10C5},
    {0x10D0, 0x10F6}, {0x1100, 0x1100}, {0x1102, 0x1103}, {0x1105, 0x1107}, {0x1109, 0x1109},
    {0x110B, 0x110C}, {0x110E, 0x1112}, {0x113C, 0x113C}, {0x113E, 0x113E}, {0x1140, 0x1140},
    {0x114C, 0x114C}, {0x114E, 0x114E}, {0x1150, 0x1150}, {0x1154, 0x1155}, {0x1159, 0x1159},
    {0x115F, 0x1161}, {0x1163, 0x1163}, {0x1165, 0x1165}, {0x1167, 0x1167}, {0x1169, 0x1169},
    {0x116D, 0x116E}, {0x1172, 0x1173}, {0x1175, 0x1175}, {0x119E, 0x119E}, {0x11A8, 0x11A8},
    {0x11AB, 0x11AB}, {0x11AE, 0x11AF}, {0x11B7, 0x11B8}, {0x11BA, 0x11BA}, {0x11BC, 0x11C2},
    {0x11EB, 0x11EB}, {0x11F0, 0x11F0}, {0x11F9, 0x11F9}, {0x1E00, 0x1E9B}, {0x1EA0, 0x1EF9},
    {0x1F00, 0x1F15}, {0x1F18, 0x1F1D}, {0x1F20, 0x1F45}, {0x1F48, 0x1F4D}, {0x1F50, 0x1F57},
    {0x1F59, 0x1F59}, {0x1F5B, 0x1F5B}, {0x1F5D, 0x1F5D}, {0x1F5F, 0x1F7D}, {0x1F80, 0x1FB4},
    {0x1FB6, 0x1FBC}, {0x1FBE, 0x1FBE}, {0x1FC2, 0x1FC4}, {0x1FC6, 0x1FCC}, {0x1FD0, 0x1FD3},
    {0x1FD6, 0x1FDB}, {0x1FE0, 0x1FEC}, {0x1FF2, 0x1FF4}, {0x1FF6, 0x1FFC}, {0x20D0, 0x20DC},
    {0x20E1, 0x20E1}, {0x2126, 0x2126}, {0x212A, 0x212B}, {0x212E, 0x212E}, {0x2180, 0x2182},
    {0x3005, 0x3005}, {0x3007, 0x3007}, {0x3021, 0x302F}, {0x3031, 0x3035}, {0x3041, 0x3094},
    {0x3099, 0x309A}, {0x309D, 0x309E}, {0x30A1, 0x30FA}, {0x30FC, 0x30FE}, {0x3105, 0x312C},
    {0x4E00, 0x9FA5}, {0xAC00, 0xD7A3},
};

bool InRanges(const CodeRange* begin, const CodeRange* end, uint32_t cp) {
    const CodeRange* it = std::upper_bound(
        begin, end, cp, [](uint32_t c, const CodeRange& r) { return c < r.first; });
    return it != begin && cp <= (it - 1)->last;
}

bool IsNameStartChar(uint32_t cp) {
    if (cp < 0x80) {
        return (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z') || cp == '_';
    }
    return InRanges(std::begin(kNameStartRanges), std::end(kNameStartRanges), cp);
}

bool IsNameChar(uint32_t cp) {
    if (cp < 0x80) {
        return IsNameStartChar(cp) || (cp >= '0' && cp <= '9') || cp == '-' || cp == '.';
    }
    return InRanges(std::begin(kNameRanges), std::end(kNameRanges), cp);
}

// ---- Text -------------------------------------------------------------------------------

// What a byte of text needs: 0 nothing, 1 an entity or a space (one byte of its own), 2 a
// look at the UTF-8 sequence it starts.
struct ByteClasses {
    unsigned char cls[256];
    ByteClasses() {
        for (int c = 0; c < 256; ++c) {
            cls[c] = c < 0x20 ? 1 : (c < 0x80 ? 0 : 2);
        }
        cls[static_cast<unsigned char>('\t')] = 0;
        cls[static_cast<unsigned char>('\r')] = 0;
        for (char c : {'<', '>', '&', '"', '\''}) {
            cls[static_cast<unsigned char>(c)] = 1;
        }
    }
};
const ByteClasses kByteClasses;

// Length of the well-formed character at `s` that XML may carry unchanged, or 0.
size_t XmlCharLength(const unsigned char* s, size_t n) {
    uint32_t cp;
    const size_t len = DecodeUtf8(s, n, cp);
    return (len == 0 || cp == 0xFFFE || cp == 0xFFFF) ? 0 : len;
}

// Offset of the first byte of `text` from `pos` on that cannot be copied as it is.
size_t FindUnsafe(const std::string& text, size_t pos) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    while (pos < n) {
        const unsigned char cls = kByteClasses.cls[s[pos]];
        if (cls == 0) {
            ++pos;
        } else if (cls == 2) {
            const size_t len = XmlCharLength(s + pos, n - pos);
            if (len == 0) {
                return pos;
            }
            pos += len;
        } else {
            return pos;
        }
    }
    return n;
}

}  // namespace

// ---- PbXmlGenerator -----------------------------------------------------------------------

PbXmlGenerator::PbXmlGenerator(int level, int indent, bool replaceDots, bool replaceDashes)
    : m_level(level),
      m_indent(indent),
      m_spaces(IndentSpaces(indent)),
      m_replaceDots(replaceDots),
      m_replaceDashes(replaceDashes) {}

int PbXmlGenerator::IndentSpaces(int indent) {
    return std::min(std::max(indent, 0), 64);
}

PbXmlGenerator::~PbXmlGenerator() {
    m_openKeys.clear();
}

bool PbXmlGenerator::QuoteXmlElementText(const std::string& text, std::string& quoted) {
    if (FindUnsafe(text, 0) == text.size()) {
        return false;
    }
    quoted.clear();
    AppendXmlText(text, quoted);
    return true;
}

void PbXmlGenerator::AppendXmlText(const std::string& text, std::string& out) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t pos = 0;
    while (pos < n) {
        const size_t unsafe = FindUnsafe(text, pos);
        out.append(text, pos, unsafe - pos);
        if (unsafe == n) {
            break;
        }
        switch (s[unsafe]) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (s[unsafe] < 0x20) {
                    // A control character (a line feed included) reads as a space.
                    out += ' ';
                } else {
                    // No character XML can carry: one replacement character for a whole
                    // well-formed sequence (U+FFFE, U+FFFF), else one per byte.
                    out += kReplacementChar;
                    uint32_t cp;
                    const size_t len = DecodeUtf8(s + unsafe, n - unsafe, cp);
                    pos = unsafe + (len == 0 ? 1 : len);
                    continue;
                }
                break;
        }
        pos = unsafe + 1;
    }
}

bool PbXmlGenerator::ReplaceInvalidUtf8(std::string& text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t pos = 0;
    uint32_t cp;
    // Most text is valid: look before copying.
    while (pos < n) {
        const size_t len = DecodeUtf8(s + pos, n - pos, cp);
        if (len == 0) {
            break;
        }
        pos += len;
    }
    if (pos == n) {
        return false;
    }
    std::string valid(text, 0, pos);
    while (pos < n) {
        const size_t len = DecodeUtf8(s + pos, n - pos, cp);
        if (len == 0) {
            valid += kReplacementChar;
            ++pos;
        } else {
            valid.append(text, pos, len);
            pos += len;
        }
    }
    text.swap(valid);
    return true;
}

void PbXmlGenerator::ValidateXmlElementName(std::string& name) const {
    std::string valid;
    valid.reserve(name.size() + 1);
    const auto* s = reinterpret_cast<const unsigned char*>(name.data());
    const size_t n = name.size();
    size_t pos = 0;
    while (pos < n) {
        uint32_t cp;
        size_t len = DecodeUtf8(s + pos, n - pos, cp);
        const bool replace = len == 0 || cp == ' ' || cp == ':' || (cp == '.' && m_replaceDots) ||
                             (cp == '-' && m_replaceDashes) || !IsNameChar(cp);
        if (replace) {
            valid += '_';
            pos += len == 0 ? 1 : len;
            continue;
        }
        if (pos == 0 && !IsNameStartChar(cp)) {
            valid += '_';
        }
        valid.append(name, pos, len);
        pos += len;
    }
    if (valid.empty()) {
        valid = "_";
    }
    name.swap(valid);
}

std::string PbXmlGenerator::GetXmlFieldName(const FieldDescriptor* field) const {
    std::string name;
    if (field->type() == FieldDescriptor::TYPE_GROUP) {
        name = field->message_type()->name();
    } else if (field->is_extension()) {
        name = field->containing_type()->options().message_set_wire_format() &&
                       field->type() == FieldDescriptor::TYPE_MESSAGE
                   ? field->message_type()->full_name()
                   : field->full_name();
    } else {
        name = field->name();
    }
    ValidateXmlElementName(name);
    return name;
}

void PbXmlGenerator::InsertIndent(std::string& out, int count) const {
    if (count > 0) {
        out.append(static_cast<size_t>(count), ' ');
    }
}

void PbXmlGenerator::InsertNewLine(std::string& out) const {
    if (m_indent != 0) {
        out += '\n';
    }
}

void PbXmlGenerator::InsertStartOfElement(std::string& out, const std::string& name) {
    out += '<';
    out += name;
    out += '>';
}

void PbXmlGenerator::InsertEndOfElement(std::string& out, const std::string& name) {
    out += "</";
    out += name;
    out += '>';
}

void PbXmlGenerator::ComposeSimpleElement(const std::string& name, const std::string& text,
                                          std::string& out) {
    InsertIndent(out, m_level * m_spaces);
    InsertStartOfElement(out, name);
    out += text;
    InsertEndOfElement(out, name);
    InsertNewLine(out);
}

void PbXmlGenerator::ComposeNumber(const std::string& name, const std::string& text,
                                   std::string& out) {
    if (name == "number_value") {
        out += text;
    } else {
        ComposeSimpleElement(name, text, out);
    }
}

void PbXmlGenerator::CloseOpenKey(std::string& out) {
    auto it = m_openKeys.find(m_level);
    if (it != m_openKeys.end()) {
        InsertEndOfElement(out, it->second.second);
        InsertNewLine(out);
        m_openKeys.erase(it);
    }
}

void PbXmlGenerator::ComposeXml(const Message& message, std::string& out) {
    const Reflection* reflection = message.GetReflection();
    std::vector<const FieldDescriptor*> fields;
    reflection->ListFields(message, &fields);
    // A key element is closed after its value; one that a message opened without a value
    // after it (a "key" field outside a map entry) is closed when the message ends, so that
    // every element is closed where it was opened.
    auto open = m_openKeys.find(m_level);
    const uint64_t keyBefore = open == m_openKeys.end() ? 0 : open->second.first;
    for (const FieldDescriptor* field : fields) {
        ComposeXmlField(message, reflection, field, out);
    }
    open = m_openKeys.find(m_level);
    if (open != m_openKeys.end() && open->second.first != keyBefore) {
        CloseOpenKey(out);
    }
}

namespace {

// A map entry with its key, for writing the entries in key order. String keys are referred
// to where the entry keeps them; integer and boolean keys are copied.
struct MapEntryRef {
    const std::string* stringKey = nullptr;
    int64_t intKey = 0;
    uint64_t uintKey = 0;
    const Message* entry = nullptr;
};

bool MapKeyLess(const MapEntryRef& a, const MapEntryRef& b) {
    if (a.stringKey != nullptr) {
        return *a.stringKey < *b.stringKey;
    }
    if (a.intKey != b.intKey) {
        return a.intKey < b.intKey;
    }
    return a.uintKey < b.uintKey;
}

// The entries of map field `field` in ascending key order (byte order for string keys): the
// map's own order changes from one map object to the next. `keys` holds the string keys that
// reflection hands out as copies.
std::vector<MapEntryRef> SortedMapEntries(const Message& message, const Reflection* reflection,
                                          const FieldDescriptor* field,
                                          std::vector<std::string>& keys) {
    const int size = reflection->FieldSize(message, field);
    std::vector<MapEntryRef> entries(static_cast<size_t>(size));
    keys.reserve(static_cast<size_t>(size));  // no reallocation: entries point into it
    const FieldDescriptor* keyField = field->message_type()->map_key();
    std::string scratch;
    for (int i = 0; i < size; ++i) {
        MapEntryRef& ref = entries[static_cast<size_t>(i)];
        ref.entry = &reflection->GetRepeatedMessage(message, field, i);
        const Reflection* entryReflection = ref.entry->GetReflection();
        switch (keyField->cpp_type()) {
            case FieldDescriptor::CPPTYPE_STRING: {
                const std::string& key =
                    entryReflection->GetStringReference(*ref.entry, keyField, &scratch);
                if (&key == &scratch) {
                    keys.push_back(scratch);
                    ref.stringKey = &keys.back();
                } else {
                    ref.stringKey = &key;
                }
                break;
            }
            case FieldDescriptor::CPPTYPE_INT32:
                ref.intKey = entryReflection->GetInt32(*ref.entry, keyField);
                break;
            case FieldDescriptor::CPPTYPE_INT64:
                ref.intKey = entryReflection->GetInt64(*ref.entry, keyField);
                break;
            case FieldDescriptor::CPPTYPE_UINT32:
                ref.uintKey = entryReflection->GetUInt32(*ref.entry, keyField);
                break;
            case FieldDescriptor::CPPTYPE_UINT64:
                ref.uintKey = entryReflection->GetUInt64(*ref.entry, keyField);
                break;
            case FieldDescriptor::CPPTYPE_BOOL:
                ref.uintKey = entryReflection->GetBool(*ref.entry, keyField) ? 1 : 0;
                break;
            default:
                break;
        }
    }
    // Keys of a map are unique, so the order is total.
    std::sort(entries.begin(), entries.end(), MapKeyLess);
    return entries;
}

}  // namespace

std::string PbXmlGenerator::FormatNumber(double value, int precision) {
    std::ostringstream stream;
    stream.imbue(std::locale::classic());
    stream.precision(precision);
    stream << value;
    return stream.str();
}

void PbXmlGenerator::ComposeXmlField(const Message& message, const Reflection* reflection,
                                     const FieldDescriptor* field, std::string& out) {
    if (field->is_map()) {
        std::vector<std::string> keys;
        for (const MapEntryRef& ref : SortedMapEntries(message, reflection, field, keys)) {
            ComposeMessageField(field, *ref.entry, out);
        }
    } else if (field->is_repeated()) {
        const int size = reflection->FieldSize(message, field);
        for (int i = 0; i < size; ++i) {
            ComposeXmlFieldValue(message, reflection, field, i, out);
        }
    } else if (reflection->HasField(message, field)) {
        ComposeXmlFieldValue(message, reflection, field, -1, out);
    }
}

void PbXmlGenerator::ComposeXmlFieldValue(const Message& message, const Reflection* reflection,
                                          const FieldDescriptor* field, int index,
                                          std::string& out) {
    const bool repeated = index >= 0;
    const std::string& fieldName = field->name();
    switch (field->cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32:
            ComposeNumber(
                GetXmlFieldName(field),
                std::to_string(repeated ? reflection->GetRepeatedInt32(message, field, index)
                                        : reflection->GetInt32(message, field)),
                out);
            break;
        case FieldDescriptor::CPPTYPE_INT64:
            ComposeNumber(
                GetXmlFieldName(field),
                std::to_string(repeated ? reflection->GetRepeatedInt64(message, field, index)
                                        : reflection->GetInt64(message, field)),
                out);
            break;
        case FieldDescriptor::CPPTYPE_UINT32:
            ComposeNumber(
                GetXmlFieldName(field),
                std::to_string(repeated ? reflection->GetRepeatedUInt32(message, field, index)
                                        : reflection->GetUInt32(message, field)),
                out);
            break;
        case FieldDescriptor::CPPTYPE_UINT64:
            ComposeNumber(
                GetXmlFieldName(field),
                std::to_string(repeated ? reflection->GetRepeatedUInt64(message, field, index)
                                        : reflection->GetUInt64(message, field)),
                out);
            break;
        case FieldDescriptor::CPPTYPE_DOUBLE:
            ComposeNumber(
                GetXmlFieldName(field),
                FormatNumber(repeated ? reflection->GetRepeatedDouble(message, field, index)
                                      : reflection->GetDouble(message, field),
                             6),
                out);
            break;
        case FieldDescriptor::CPPTYPE_FLOAT:
            ComposeNumber(
                GetXmlFieldName(field),
                FormatNumber(repeated ? reflection->GetRepeatedFloat(message, field, index)
                                      : reflection->GetFloat(message, field),
                             6),
                out);
            break;
        case FieldDescriptor::CPPTYPE_BOOL: {
            const bool value = repeated ? reflection->GetRepeatedBool(message, field, index)
                                        : reflection->GetBool(message, field);
            const char* word = value ? "true" : "false";
            if (fieldName == "bool_value") {
                out += word;
            } else {
                ComposeSimpleElement(GetXmlFieldName(field), word, out);
            }
            break;
        }
        case FieldDescriptor::CPPTYPE_ENUM: {
            const auto* value = repeated ? reflection->GetRepeatedEnum(message, field, index)
                                         : reflection->GetEnum(message, field);
            ComposeSimpleElement(GetXmlFieldName(field), value->name(), out);
            break;
        }
        case FieldDescriptor::CPPTYPE_STRING: {
            std::string scratch;
            const std::string& value =
                repeated ? reflection->GetRepeatedStringReference(message, field, index, &scratch)
                         : reflection->GetStringReference(message, field, &scratch);
            if (fieldName == "key") {
                // The key of a map entry names the element that holds its value.
                if (m_openKeys.count(m_level) != 0) {
                    CloseOpenKey(out);
                }
                std::string name = value;
                ValidateXmlElementName(name);
                InsertIndent(out, m_level * m_spaces);
                InsertStartOfElement(out, name);
                m_openKeys[m_level] = std::make_pair(++m_keySequence, std::move(name));
            } else if (fieldName == "string_value") {
                AppendXmlText(value, out);
            } else {
                const std::string name = GetXmlFieldName(field);
                InsertIndent(out, m_level * m_spaces);
                InsertStartOfElement(out, name);
                AppendXmlText(value, out);
                InsertEndOfElement(out, name);
                InsertNewLine(out);
            }
            break;
        }
        case FieldDescriptor::CPPTYPE_MESSAGE:
            ComposeMessageField(field,
                                repeated ? reflection->GetRepeatedMessage(message, field, index)
                                         : reflection->GetMessage(message, field),
                                out);
            break;
    }
}

void PbXmlGenerator::ComposeMessageField(const FieldDescriptor* field, const Message& value,
                                         std::string& out) {
    const std::string& fieldName = field->name();
    if (fieldName == "fields") {
        // The entries of a Struct's map: each writes its key element.
        ComposeXml(value, out);
    } else if (fieldName == "value") {
        // The value of a map entry, inside the key element that the entry's key opened.
        ++m_level;
        ComposeXml(value, out);
        --m_level;
        CloseOpenKey(out);
    } else if (fieldName == "struct_value") {
        // A nested Struct: its keys start on new lines, and the closing key element that
        // follows is indented like its opening tag.
        InsertNewLine(out);
        ComposeXml(value, out);
        InsertIndent(out, (m_level - 1) * m_spaces);
    } else {
        // An element of its own. A key element that this message opened before it stays
        // open: closing it here would cross this element's tags.
        const std::string name = GetXmlFieldName(field);
        InsertIndent(out, m_level * m_spaces);
        InsertStartOfElement(out, name);
        InsertNewLine(out);
        ++m_level;
        ComposeXml(value, out);
        --m_level;
        InsertIndent(out, m_level * m_spaces);
        InsertEndOfElement(out, name);
        InsertNewLine(out);
    }
}

}  // namespace Zeph
