// Throughput of the transfer encodings and of the MIME parser on a 50 MiB attachment, the
// size users send. Rates are of the attachment's (decoded) bytes.

#include "mime/codecs.h"
#include "mime/mime.h"
#include "rtl/memory_stream.h"
#include "rtl/string_list.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>

namespace zanpost {
namespace {

constexpr std::size_t attachment_size = 50u << 20;

const std::string& attachment()
{
    static const std::string bytes = [] {
        std::string b(attachment_size, '\0');
        std::mt19937_64 random(50);
        for (std::size_t i = 0; i + 8 <= b.size(); i += 8) {
            const std::uint64_t v = random();
            for (int k = 0; k < 8; ++k) b[i + k] = static_cast<char>(v >> (8 * k));
        }
        return b;
    }();
    return bytes;
}

const StringList& attachment_lines()
{
    static const StringList lines = [] {
        MemoryStream stream(attachment());
        return encode_base64(stream);
    }();
    return lines;
}

// Czech accounting text as the body part carries it: CP1250 letters and "=" among ASCII.
const StringList& text_lines()
{
    static const StringList lines = [] {
        StringList l;
        for (int i = 0; i < 200000; ++i)
            l.push_back("Polo\x9Eka " + std::to_string(i) + ": \xFA\xE8" "et 311 = 12 345,67 K\xE8, p\xF8" "evod");
        return l;
    }();
    return lines;
}

std::size_t total_size(const StringList& lines)
{
    std::size_t n = 0;
    for (const auto& line : lines) n += line.size();
    return n;
}

void check(bool ok, const char* what)
{
    if (!ok) throw std::runtime_error(what);
}

// The codec as the send job drives it: line by line into storage that is reused.
void Base64Encode(benchmark::State& state)
{
    const std::string& bytes = attachment();
    std::string line;
    for (auto _ : state) {
        for (std::size_t i = 0; i < bytes.size(); i += 45) {
            encode_base64_line(line, bytes.data() + i, std::min<std::size_t>(45, bytes.size() - i));
            benchmark::DoNotOptimize(line.data());
        }
    }
    check(line == attachment_lines().back(), "encode_base64_line went wrong");
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(attachment_size));
}

// The codec as the receive job drives it: each line appended to the part's bytes, whose
// room is taken once.
void Base64Decode(benchmark::State& state)
{
    const StringList& lines = attachment_lines();
    std::string bytes;
    bytes.reserve(attachment_size);
    for (auto _ : state) {
        bytes.clear();
        for (const auto& line : lines) append_base64_line(bytes, line);
        benchmark::DoNotOptimize(bytes.data());
    }
    check(bytes == attachment(), "append_base64_line lost bytes");
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(attachment_size));
}

// The whole-stream forms, which allocate a new list of 1.2 million lines, or a new 50 MiB
// block, every time.
void Base64EncodeToList(benchmark::State& state)
{
    MemoryStream stream(attachment());
    for (auto _ : state) {
        StringList lines = encode_base64(stream);
        benchmark::DoNotOptimize(lines.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(attachment_size));
}

void Base64DecodeFromList(benchmark::State& state)
{
    const StringList& lines = attachment_lines();
    for (auto _ : state) {
        MemoryStream bytes = decode_base64(lines);
        benchmark::DoNotOptimize(bytes.bytes().data());
    }
    check(decode_base64(lines).bytes() == attachment(), "decode_base64 lost bytes");
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(attachment_size));
}

void QuotedPrintableEncode(benchmark::State& state)
{
    const StringList& lines = text_lines();
    for (auto _ : state)
        for (const auto& line : lines) benchmark::DoNotOptimize(encode_quoted_printable(line));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(total_size(lines)));
}

void QuotedPrintableDecode(benchmark::State& state)
{
    StringList encoded;
    for (const auto& line : text_lines()) encoded.push_back(encode_quoted_printable(line));
    for (auto _ : state)
        for (const auto& line : encoded) benchmark::DoNotOptimize(decode_quoted_printable(line));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(total_size(text_lines())));
}

// A message as the send job writes it: one 50 MiB file part and a text part.
StringList large_message()
{
    const std::string b = "1796000000C0A8010A==";
    StringList m{"From: ucetni@firma.example", "Subject: ZAN_POST data", "MIME-Version: 1.0",
                 "Content-Type: multipart/mixed; boundary=\"" + b + "\"", "Content-Transfer-Encoding: 7bit", "",
                 "", "--" + b, "Content-Type: application/octet-stream",
                 "Content-Disposition: attachment; filename=\"obraty.dbf\"", "Content-Transfer-Encoding: base64", ""};
    const StringList& lines = attachment_lines();
    m.insert(m.end(), lines.begin(), lines.end());
    m.emplace_back();
    m.push_back("--" + b);
    for (const char* line : {"Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable", "",
                             "Obraty za listopad", ""})
        m.emplace_back(line);
    m.push_back("--" + b + "--");
    return m;
}

void ParseMessage(benchmark::State& state)
{
    const StringList message = large_message();
    T_Mime mime;
    for (auto _ : state) {
        mime.ParseMessage(message);
        benchmark::DoNotOptimize(mime.Attachments.data());
    }
    check(mime.AttachmentCount() == 3 && mime.Attachments[1].Data.bytes() == attachment(),
          "ParseMessage lost the attachment");
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(attachment_size));
}

BENCHMARK(Base64Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64EncodeToList)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64DecodeFromList)->Unit(benchmark::kMillisecond);
BENCHMARK(QuotedPrintableEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(QuotedPrintableDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(ParseMessage)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zanpost
