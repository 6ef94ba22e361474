#include "cli/diag_html.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "cli/cli_error.h"
#include "cli/utf8_text.h"
#include "clsg/io/image_io.h"

namespace clsg {

namespace {

// text for the page, whose file names need not be UTF-8 (the page is).
std::string escapeHtml(const std::string& text) {
    std::string out;
    for (char c : withStrayBytesShown(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string sizeText(long w, long h) { return std::to_string(w) + " &times; " + std::to_string(h); }

}  // namespace

std::string withLabelNames(const std::string& text, const std::vector<std::string>& labelNames) {
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        std::size_t at = std::string::npos, after = 0;
        for (const char* word : {"Label ", "Segmentation image "}) {
            const std::size_t p = text.find(word, pos);
            if (p < at) {
                at = p;
                after = p + std::strlen(word);
            }
        }
        if (at == std::string::npos) break;
        std::size_t end = after;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        out += text.substr(pos, end - pos);
        if (end > after && end - after < 4) {
            const std::size_t index = std::stoul(text.substr(after, end - after));
            if (index < labelNames.size()) out += " (" + labelNames[index] + ")";
        }
        pos = end;
    }
    return out + text.substr(pos);
}

namespace {

const char* const kPageOpen = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";

// title is "clsg " and the command.
std::string pageHead(const std::string& title) {
    return kPageOpen + escapeHtml(title) +
           "</title>\n<style>body{font-family:sans-serif;margin:1em 2em}"
           ".record{border-top:1px solid #ccc;padding:.5em 0}"
           "img{image-rendering:pixelated;border:1px solid #888;max-width:100%}"
           "pre{background:#f4f4f4;padding:.3em}.note{color:#555;font-style:italic}"
           "</style></head><body>\n<h1>" +
           escapeHtml(title) + "</h1>\n";
}

// Stages one entry's picture, or adds its text; the page's part for it.
std::string entryHtml(const kvDiagRecord::Entry& entry, const std::string& dir,
                      const std::string& png, OutputFiles& files,
                      const std::vector<std::string>& labelNames) {
    namespace fs = std::filesystem;
    std::ostringstream html;
    switch (entry.kind) {
        case kvDiagRecord::Kind::Image8:
        case kvDiagRecord::Kind::ImageRGB: {
            const bool rgb = entry.kind == kvDiagRecord::Kind::ImageRGB;
            const bool bound = rgb ? entry.imageRGB.isBound() : entry.image8.isBound();
            if (!bound) return "<p class=\"note\">(unbound image)</p>\n";
            const long w = rgb ? entry.imageRGB.width() : entry.image8.width();
            const long h = rgb ? entry.imageRGB.height() : entry.image8.height();
            const std::string path = (fs::path(dir) / png).string();
            if (rgb)
                writeColorImage(files.stage(path, FinalNameFrom::program), entry.imageRGB,
                                ImageFormat::Png, path);
            else
                writeGreyImage(files.stage(path, FinalNameFrom::program), entry.image8,
                               ImageFormat::Png, path);
            html << "<figure><img src=\"" << png << "\" alt=\"" << png << "\"><figcaption>"
                 << (rgb ? "RGB image" : "8-bit image") << ", " << sizeText(w, h)
                 << "</figcaption></figure>\n";
            break;
        }
        case kvDiagRecord::Kind::Text:
            html << "<p><b>" << escapeHtml(withLabelNames(entry.label, labelNames))
                 << "</b></p><pre>" << escapeHtml(withLabelNames(entry.text, labelNames))
                 << "</pre>\n";
            break;
        case kvDiagRecord::Kind::Annotation:
            html << "<p class=\"note\">" << escapeHtml(withLabelNames(entry.text, labelNames))
                 << "</p>\n";
            break;
    }
    return html.str();
}

}  // namespace

std::string stageDiagSection(const std::string& dir, std::size_t number, const DiagSection& section,
                             OutputFiles& files, const std::vector<std::string>& labelNames) {
    namespace fs = std::filesystem;
    const std::string base = "s" + std::to_string(number) + "-";
    std::ostringstream html;
    html << "<h2>" << escapeHtml(section.title) << "</h2>\n";
    if (section.overlay.isBound()) {
        const std::string overlay = (fs::path(dir) / (base + "overlay.png")).string();
        writeColorImage(files.stage(overlay, FinalNameFrom::program), section.overlay,
                        ImageFormat::Png, overlay);
        html << "<figure><img src=\"" << base << "overlay.png\" alt=\"overlay\">";
        if (section.legend.isBound()) {
            const std::string legend = (fs::path(dir) / (base + "legend.png")).string();
            writeColorImage(files.stage(legend, FinalNameFrom::program), section.legend,
                            ImageFormat::Png, legend);
            html << " <img src=\"" << base << "legend.png\" alt=\"legend\">";
        }
        html << "<figcaption>the overlay: each label's colour over the image</figcaption>"
                "</figure>\n";
    }
    if (!section.note.empty()) html << "<p class=\"note\">" << escapeHtml(section.note) << "</p>\n";
    const kvDiagObject& diag = *section.diag;
    if (diag.size() == 0) html << "<p class=\"note\">no records</p>\n";
    for (std::size_t r = 0; r < diag.size(); ++r) {
        html << "<div class=\"record\"><h3>Record " << r + 1 << "</h3>\n";
        const auto& entries = diag.record(r).entries();
        for (std::size_t e = 0; e < entries.size(); ++e)
            html << entryHtml(
                entries[e], dir,
                base + "r" + std::to_string(r + 1) + "-e" + std::to_string(e + 1) + ".png", files,
                labelNames);
        html << "</div>\n";
    }
    return html.str();
}

std::string diagPageStart() { return std::string(kPageOpen) + "clsg "; }

std::string diagNoteSection(const std::string& title, const std::string& note) {
    return "<h2>" + escapeHtml(title) + "</h2>\n<p class=\"note\">" + escapeHtml(note) + "</p>\n";
}

void writeDiagIndex(const std::string& dir, const std::string& title,
                    const std::vector<std::string>& sections, OutputFiles& files) {
    namespace fs = std::filesystem;
    files.makeDir(dir);
    std::string html = pageHead(title);
    for (const std::string& section : sections) html += section;
    html += "</body></html>\n";
    files.writeStaged((fs::path(dir) / "index.html").string(), html, FinalNameFrom::program);
}

void writeDiagReport(const std::string& dir, const std::string& title,
                     const std::vector<DiagSection>& sections, OutputFiles& files,
                     const std::vector<std::string>& labelNames) {
    files.makeDir(dir);
    std::vector<std::string> html;
    for (std::size_t s = 0; s < sections.size(); ++s)
        html.push_back(stageDiagSection(dir, s + 1, sections[s], files, labelNames));
    writeDiagIndex(dir, title, html, files);
}

}  // namespace clsg
