// Transcript lines as JSON, written and read with nlohmann-json.
//
// The dialogs' texts are single bytes, not UTF-8. Each byte is taken as the
// code point of the same value (as Latin-1 does) and lines are written in
// ASCII, so a byte above 127 appears as \u00XX and every line is valid JSON
// whatever the text; reading a line maps those code points back to the same
// bytes. Keys are the program's own ASCII names and ids.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

namespace scripted {

// A line being built: members keep the order they were added in.
using TranscriptLine = nlohmann::ordered_json;

// The line's text, without its newline.
std::string transcript_text(const TranscriptLine& line);

// Parses one line of a transcript; its strings come back as the bytes that
// were written. Throws nlohmann::json::parse_error when the text is not JSON.
nlohmann::json parse_transcript_line(const std::string& text);

}  // namespace scripted
