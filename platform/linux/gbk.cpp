// GBK to UTF-8 through iconv (glibc's GBK table, with the euro sign of
// code page 936).
#include <iconv.h>

#include <cerrno>

#include "platform/text_encoding.h"

namespace vexu {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// iconv's descriptor for one conversion, closed when it goes.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (Ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

private:
    iconv_t cd_;
};

}  // namespace

std::string GbkToUtf8(std::string_view text) {
    std::string out;
    Converter converter("UTF-8", "GBK");
    if (!converter.Ok()) {
        // Without the converter only the ASCII part can be told.
        for (char c : text) {
            if (static_cast<unsigned char>(c) < 0x80)
                out += c;
            else
                out += kReplacement;
        }
        return out;
    }
    // A GBK character takes one or two bytes and becomes at most three
    // bytes of UTF-8.
    out.reserve(text.size() * 3 / 2 + 4);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[256];
    while (inLeft > 0) {
        char* to = buffer;
        size_t toLeft = sizeof buffer;
        const size_t converted = iconv(converter.Get(), &in, &inLeft, &to, &toLeft);
        out.append(buffer, static_cast<size_t>(to - buffer));
        if (converted != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // Not GBK here (EILSEQ), or a lead byte at the very end (EINVAL):
        // that byte stands for an unknown character and the rest goes on.
        out += kReplacement;
        ++in;
        --inLeft;
        iconv(converter.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace vexu
