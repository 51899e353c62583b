#include "Messages.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <iostream>

#include "Progress.h"

namespace {

// Where messages go: standard output, unless the grid is written there.
std::ostream* messageStream = &std::cout;

}  // namespace

void printMessage(const std::string& line) {
    // Each line goes out as it is printed, to a pipe or a file too, so that a
    // log shows how far a run has come; a few lines a file cost nothing.
    const auto held = holdProgressLine();
    *messageStream << line << '\n' << std::flush;
}

void printWarning(const std::string& line) {
    // After the message lines before it, when both streams go to one place.
    const auto held = holdProgressLine();
    std::cout.flush();
    std::cerr << line << '\n';
}

void messagesToStandardError() { messageStream = &std::cerr; }

bool messagesWritten() {
    std::cout.flush();
    if (!std::cout.good()) std::cerr << "standard output: can't write the messages\n";
    return std::cout.good() && std::cerr.good();
}

// Bytes 0x20 to 0x7e and 0x80 up stay as written, UTF-8 included.
std::string shownText(const std::string& text, std::size_t maxBytes, bool quoted, bool more) {
    std::size_t n = std::min(text.size(), maxBytes);
    // Not inside a UTF-8 character: back to the byte that begins it.
    while (n < text.size() && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::string shown;
    shown.reserve(n + 2);
    if (quoted) shown += '"';
    for (std::size_t k = 0; k < n; ++k) {
        const char c = text[k];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            if (quoted && (c == '"' || c == '\\')) shown += '\\';
            shown += c;
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c == '\r') {
            shown += "\\r";
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            shown += hex;
        }
    }
    if (more || n < text.size()) shown += "...";
    if (quoted) shown += '"';
    return shown;
}

void FileMessages::print() {
    for (const Line& l : lines_) (l.toErr ? printWarning : printMessage)(l.text);
    lines_.clear();
}

void FileMessages::add(bool toErr, std::string text) {
    if (immediate_)
        (toErr ? printWarning : printMessage)(text);
    else
        lines_.push_back(Line{toErr, std::move(text)});
}

namespace {

void packCount(std::string& packed, std::uint64_t n) { packed.append(reinterpret_cast<const char*>(&n), sizeof n); }

bool unpackCount(const char*& at, const char* end, std::uint64_t& n) {
    if (static_cast<std::size_t>(end - at) < sizeof n) return false;
    std::memcpy(&n, at, sizeof n);
    at += sizeof n;
    return true;
}

}  // namespace

void FileMessages::pack(std::string& packed) const {
    packCount(packed, lines_.size());
    for (const Line& l : lines_) {
        packed += l.toErr ? 'e' : 'o';
        packCount(packed, l.text.size());
        packed += l.text;
    }
}

const char* FileMessages::unpack(const char* at, const char* end) {
    std::uint64_t count = 0;
    if (!unpackCount(at, end, count)) return nullptr;
    for (; count > 0; --count) {
        if (at == end) return nullptr;
        const bool toErr = *at++ == 'e';
        std::uint64_t size = 0;
        if (!unpackCount(at, end, size) || size > static_cast<std::uint64_t>(end - at)) return nullptr;
        lines_.push_back(Line{toErr, std::string(at, static_cast<std::size_t>(size))});
        at += size;
    }
    return at;
}
