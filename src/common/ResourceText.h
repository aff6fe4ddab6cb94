// The program's string table and message table, and the rendering of message
// texts with insertion strings.
//
// Both tables are kept once, as data in resources/, and compiled into this
// program on every platform; the Windows executable also carries them as real
// resources (string table, message table 1), from which the Windows event
// viewer renders the program's events.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace resources {

// The text of a string-table entry; empty when the table has no such id.
std::wstring LoadResourceString(unsigned int id);
bool FindResourceString(unsigned int id, std::wstring* text);

// The message-table text of an event id as stored: insertion markers (%1, %2
// ...) unfilled, the final CR LF included; empty when the id is unknown.
std::wstring MessageTableText(std::uint32_t eventId);
bool FindMessageTableText(std::uint32_t eventId, std::wstring* text);

// Every event id of the message table, ascending, and the languages
// (Windows language ids) it is built for.
std::vector<std::uint32_t> MessageTableIds();
std::vector<std::uint16_t> MessageTableLanguages();

// Fills a message text the way the system's message formatter does:
// %1 ... %99 take the insertion strings (an optional !printf! format after the
// number is skipped; a number without an insertion stays as written),
// %0 ends the text without its line break, %n is CR LF, %r CR, %t tab,
// %b a space, and % before any other character gives that character.
// Insertion strings are copied as they are, never formatted again.
std::wstring FormatMessageString(std::wstring_view text, const std::vector<std::wstring>& insertions);

// The message-table text of the id with the insertions filled in; empty when
// the id is unknown.
std::wstring FormatEventMessage(std::uint32_t eventId, const std::vector<std::wstring>& insertions);

}  // namespace resources
