// The INI reader on arbitrary file contents: every value it delivers is the default or a
// piece of the file, never longer than the buffer allows, and the whole configuration of
// the program loads from any file.

#include "app/config.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace zanpost;

namespace {

struct Query {
    const char* section;
    const char* key;
};

constexpr Query queries[] = {
    {"Mail", "Odesilatel"}, {"Mail", "Timeout"}, {"Soubory", "Cesta"}, {"Upozorneni", "Upozornovat"},
    {"mail", "TIMEOUT"},    {"", ""},            {"Mail", ""},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const testing::TempDir directory;
    const std::string path = directory.file("Zan_Post.ini");

    fuzz::Input input(data, size);
    const std::size_t small_buffer = input.byte() % 32;
    const std::string_view content = input.rest();
    testing::write_file(path, std::string(content));
    // Nothing after a NUL byte is read.
    const std::string_view readable = content.substr(0, content.find('\0'));

    const std::string fallback = "\x01-fallback-\x01";
    for (const Query& query : queries) {
        for (const std::size_t buffer : {std::size_t(1024), small_buffer}) {
            const std::string value = platform::profile_string(query.section, query.key, fallback, buffer, path);
            FUZZ_CHECK(value.size() + 1 <= (buffer == 0 ? 1 : buffer));
            FUZZ_CHECK(fallback.starts_with(value) || readable.find(value) != std::string_view::npos);
        }
    }

    const TNastaveni settings = ReadConfig(path);
    FUZZ_CHECK(settings.Zprava.Odesilatel.size() <= 1023 && settings.Upozorneni.Text.size() <= 1023);
    return 0;
}
