// Escaping text for a JSON string: quote, backslash and control characters (as \uXXXX).
#pragma once

#include <string>
#include <string_view>

std::string json_escape(std::string_view text);

// json_escape with the surrounding quotes.
std::string json_quoted(std::string_view text);
