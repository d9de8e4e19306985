// Text made safe for the administrator's pages, and the frame every page stands in.
// Whatever a peer chose (a printer's or a document's name, a failure's reason) reaches a
// page only through EscapeHtml, in text and in attributes alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The text with & < > " ' written as character references, so it shows as text in an
// element and cannot end an attribute's value.
std::string EscapeHtml(std::string_view text);

// The text as one query value: every byte but letters, digits and "-._~" as %XX.
std::string UrlEncode(std::string_view text);

// A whole page: doctype, viewport, the style and the script as files (the pages carry no
// inline script or style), the title, the nav and the body's HTML as given.
std::string PageFrame(std::string_view title, std::string_view bodyHtml);

// The start of a table in its horizontally scrolling wrapper, with its column heads
// (plain text, escaped); TableEnd closes both.
std::string TableStart(const std::vector<std::string_view>& heads);
std::string_view TableEnd();

// One cell holding the text, escaped.
std::string Cell(std::string_view text);
