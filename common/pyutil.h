#pragma once

// Python value rules the analyser reproduces exactly: str() and repr() of values,
// truthiness, and the few string methods whose edge cases matter.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace script {

using Json = nlohmann::ordered_json;

/// Python 3 str() of a float: shortest round-trip digits, plain notation for
/// 1e-4 <= |x| < 1e16 with ".0" on integral values, exponent form ("1e-05", "1e+16")
/// otherwise; "inf", "-inf", "nan", "-0.0".
std::string py_float_str(double value);

/// Python str() of a JSON value taken as the Python value it stands for: strings as is,
/// integers in decimal, floats by py_float_str, true/false as "True"/"False", null as
/// "None", lists and objects as their repr.
std::string py_str(const Json& value);

/// Python repr(): strings quoted the way Python quotes them ('a', "it's"), lists as
/// ['a', 1.0], objects as {'k': 'v'}.
std::string py_repr(const Json& value);
std::string py_repr(std::string_view text);
/// Appends py_repr(text) to `out`.
void append_py_repr(std::string& out, std::string_view text);
std::string py_repr(const std::vector<std::string>& list);

/// Python truthiness: null, false, 0, 0.0, "", [] and {} are false; everything else true
/// (the text "0" is true).
bool truthy(const Json& value);

/// Python str.strip(chars) / lstrip / rstrip; the default strips Python's white space.
std::string py_strip(std::string_view text, std::string_view chars = " \t\n\r\v\f");
std::string py_lstrip(std::string_view text, std::string_view chars = " \t\n\r\v\f");
std::string py_rstrip(std::string_view text, std::string_view chars = " \t\n\r\v\f");

/// str.replace(old, new) for every non-overlapping occurrence, left to right.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to);
/// The same, written over `out` (whose storage is reused); `out` must not overlap `text`.
void replace_all_into(std::string& out, std::string_view text, std::string_view from, std::string_view to);

/// str.split(sep) (sep non-empty): "a,,b" gives ["a", "", "b"]; "" gives [""].
std::vector<std::string> split(std::string_view text, std::string_view sep);

/// str.find(sub): position of the first occurrence, or -1.
long py_find(std::string_view text, std::string_view sub);

/// Removes duplicates keeping the first occurrence of each value, in order.
std::vector<std::string> unique_in_order(const std::vector<std::string>& items);

/// True when bytes.decode("utf-8") succeeds in strict mode: no overlong forms, no
/// surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequence.
bool is_utf8(std::string_view bytes);
/// Length of the well-formed UTF-8 sequence that starts at `at` (1 for ASCII), by the same
/// rules; 0 when there is none.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t at);

/// True when every byte is printable ASCII (0x20 to 0x7e, and 0x7f when `allow_del`) and
/// none is among `excluded` (quotes, backslash): the texts that JSON and repr() write as
/// they are. For the sets JSON strings and repr() use, whole blocks of bytes are tested at once,
/// since job files carry hundreds of thousands of paths.
bool plain_ascii(std::string_view text, std::string_view excluded, bool allow_del);

/// plain_ascii for JSON strings (no quote or backslash, DEL allowed) and for repr() (no
/// quote of either kind or backslash, no DEL), without choosing the set at every call.
bool plain_json_ascii(std::string_view text);
bool plain_repr_ascii(std::string_view text);

}  // namespace script
