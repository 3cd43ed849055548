// Fuzzes the log formatter: the line built from a level, a function name and
// a message, the cut of an overlong line, and the escaping of outside text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "log.h"

namespace {

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

// Reads back what log_escape wrote; the original text, or a prefix of it.
std::string unescape(std::string_view shown)
{
    std::string text;
    for (size_t i = 0; i < shown.size(); i++) {
        if (shown[i] != '\\') {
            text += shown[i];
            continue;
        }
        check(i + 3 < shown.size() + 0 && shown[i + 1] == 'x');
        text += static_cast<char>(std::stoi(std::string(shown.substr(i + 2, 2)), nullptr, 16));
        i += 3;
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t level = static_cast<uint8_t>(1 + data[0] % 4);
    const time_t now = static_cast<time_t>(data[1]) * 86400 * 397;
    std::string_view rest(reinterpret_cast<const char *>(data + 2), size - 2);
    size_t split = rest.find('\0');
    std::string func(rest.substr(0, std::min<size_t>(split, 64)));
    // The message is a C string, as vsnprintf leaves it.
    std::string message(split == std::string_view::npos ? "" : rest.substr(split + 1));
    message.resize(strnlen(message.c_str(), message.size()));
    // A message is at most 1023 characters and ends with its line end, as
    // vskprint hands it over.
    if (message.size() > log_message_size - 2)
        message.resize(log_message_size - 2);
    message += '\n';

    char line[log_line_size];
    size_t len = log_line_build(line, now, level, func.c_str(), message.c_str());
    check(len < sizeof(line) && line[len] == '\0');
    check(len > 0 && line[len - 1] == '\n');

    char shown[log_escaped_size(64)];
    std::string_view raw = rest.substr(0, std::min<size_t>(rest.size(), 64));
    log_escape(raw, shown, sizeof(shown));
    std::string_view out(shown);
    for (char c : out)
        check(c >= 0x20 && c < 0x7f);
    check(unescape(out) == raw);
    return 0;
}
