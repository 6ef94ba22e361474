#include "cli/label_option.h"

#include <cctype>
#include <cstring>
#include <limits>

#include "cli/cli_error.h"
#include "clsg/io/label_colors.h"
#include "clsg/io/tool_file.h"

namespace clsg {

namespace {

class Parser {
public:
    Parser(const std::string& text, const std::string& label) : s_(text), label_(label) {}

    bool atEnd() const { return pos_ == s_.size(); }
    char peek() const { return atEnd() ? '\0' : s_[pos_]; }
    void skip() { ++pos_; }

    // Characters up to the next unescaped one of stops (or the end); a
    // backslash takes a comma, colon, at sign or backslash after it as it is.
    // Before anything else it is refused: a\x.png is more likely a path
    // written with single backslashes than a name without them.
    std::string until(const char* stops) {
        std::string word;
        for (; !atEnd() && !std::strchr(stops, peek()); skip()) {
            if (peek() == '\\') {
                skip();
                if (atEnd()) fail("a backslash at the end of \"" + s_ + "\"");
                if (!std::strchr(",:@\\", peek()))
                    fail("a backslash before '" + std::string(1, peek()) + "' in \"" + s_ +
                         "\": it escapes only a comma, colon, at sign or backslash (write \\\\ "
                         "for a backslash in a file name)");
            }
            word += peek();
        }
        return word;
    }

    long number() {
        const std::size_t start = pos_;
        if (peek() == '-') skip();
        long v = 0;
        bool any = false;
        while (std::isdigit(static_cast<unsigned char>(peek()))) {
            if (v > 100000000) fail("a rectangle coordinate is too large");
            v = v * 10 + (peek() - '0');
            skip();
            any = true;
        }
        if (!any)
            fail(start < s_.size() ? "expected a number at \"" + s_.substr(start) + "\""
                                   : "expected a number at the end");
        return s_[start] == '-' ? -v : v;
    }

    void expect(char c, const char* what) {
        if (peek() != c)
            fail(std::string("expected ") + what +
                 (pos_ < s_.size() ? " at \"" + s_.substr(pos_) + "\"" : " at the end"));
        skip();
    }

    [[noreturn]] void fail(const std::string& why) const {
        throw UsageError("label " + label_ + ": " + why);
    }

private:
    const std::string& s_;
    const std::string& label_;
    std::size_t pos_ = 0;
};

}  // namespace

void checkLabelName(const std::string& name) {
    const std::string problem = labelNameProblem(name);
    if (!problem.empty()) throw UsageError(problem);
}

std::string exampleSourceText(const ExampleSource& example) {
    std::string text = escapeExampleName(example.image);
    if (!example.mask.empty()) text += ":" + escapeExampleName(example.mask);
    for (std::size_t i = 0; i < example.rects.size(); ++i) {
        const kvPelRect& r = example.rects[i];
        text += (i ? "+" : "@") + std::to_string(r.left()) + "," + std::to_string(r.top()) + "," +
                std::to_string(r.width()) + "," + std::to_string(r.height());
    }
    return text;
}

LabelOption parseLabelOption(const std::string& text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos)
        throw UsageError("--label " + text + ": expected NAME=IMAGE[,IMAGE...]");
    LabelOption option;
    option.name = text.substr(0, eq);
    const std::size_t hash = option.name.find('#');
    if (hash != std::string::npos) {
        uint32_t rgb = 0;
        if (!parseColorText(option.name.substr(hash), &rgb))
            throw UsageError("--label " + option.name +
                             ": expected a colour #RRGGBB after the name");
        option.color = rgb;
        option.name.resize(hash);
    }
    checkLabelName(option.name);
    const std::string rest = text.substr(eq + 1);
    Parser p(rest, option.name);
    if (p.atEnd()) p.fail("no examples given");
    // A rectangle's missing comma says what a rectangle is.
    static const char* const kRectComma = "',' (a rectangle is X,Y,WIDTH,HEIGHT)";
    for (;;) {
        ExampleSource ex;
        ex.image = p.until(":@,");
        if (ex.image.empty()) p.fail("an example without an image file");
        if (p.peek() == ':') {
            p.skip();
            ex.mask = p.until(":@,");
            if (ex.mask.empty()) p.fail("an empty mask file name after " + ex.image + ":");
            if (p.peek() == '@')
                p.fail("rectangles after the mask " + ex.mask + ": an example is IMAGE:MASK or " +
                       "IMAGE@RECTANGLES, not both (write \\@ for an at sign in a file name)");
            if (p.peek() == ':')
                p.fail("a second ':' after the mask " + ex.mask +
                       " (write \\: for a colon in a file name)");
        } else if (p.peek() == '@') {
            do {
                p.skip();  // '@' or '+'
                const long x = p.number();
                p.expect(',', kRectComma);
                const long y = p.number();
                p.expect(',', kRectComma);
                const long w = p.number();
                p.expect(',', kRectComma);
                const long h = p.number();
                if (w <= 0 || h <= 0)
                    p.fail("rectangle " + std::to_string(x) + "," + std::to_string(y) + "," +
                           std::to_string(w) + "," + std::to_string(h) + " of " + ex.image +
                           " is empty");
                ex.rects.emplace_back(x, y, w, h);
            } while (p.peek() == '+');
        }
        option.examples.push_back(ex);
        if (p.atEnd()) break;
        p.expect(',', "',' between examples");
        if (p.atEnd()) p.fail("an example without an image file");
    }
    return option;
}

}  // namespace clsg
