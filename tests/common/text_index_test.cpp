#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/block_store.h"
#include "common/pyutil.h"
#include "common/text_index.h"
#include "common/text_match.h"

namespace script {
namespace {

// Texts that share their hash must still be told apart by their text, across growths and
// room made beforehand.
TEST(TextIndex, FindsEachTextOnceEvenWhenHashesCollide)
{
    std::vector<std::string> texts;
    TextIndex index;
    auto text_of = [&texts](std::uint32_t i) -> std::string_view { return texts[i]; };
    for (std::uint32_t i = 0; i < 3000; ++i) {
        if (i == 700)
            index.reserve(2000);  // moves the 700 held, and later fills past the room made
        if (i == 900)
            index.reserve(10);  // less than held: nothing changes
        texts.push_back("/tex/" + std::to_string(i));
        // Every tenth text gets the same hash; the rest their own.
        const std::uint64_t hash = i % 10 == 0 ? 42 : hash_text(texts.back());
        ASSERT_FALSE(index.find(texts.back(), hash, text_of).has_value());
        index.insert(i, hash);
    }
    EXPECT_EQ(index.size(), 3000u);
    for (std::uint32_t i = 0; i < 3000; ++i) {
        const std::uint64_t hash = i % 10 == 0 ? 42 : hash_text(texts[i]);
        ASSERT_EQ(index.find(texts[i], hash, text_of), i) << texts[i];
    }
    EXPECT_FALSE(index.find("/tex/3000", hash_text("/tex/3000"), text_of).has_value());
    EXPECT_FALSE(index.find("/tex/7", 42, text_of).has_value());  // right hash class, wrong text
    EXPECT_FALSE(TextIndex{}.find("", 0, text_of).has_value());
}

TEST(TextIndex, HashDependsOnEveryByteAndTheLength)
{
    const std::string base = "/show/seq/sh010/tex/diffuse.1001.exr";
    for (std::size_t i = 0; i < base.size(); ++i) {
        std::string changed = base;
        changed[i] ^= 1;
        EXPECT_NE(hash_text(changed), hash_text(base)) << i;
    }
    EXPECT_NE(hash_text(std::string_view("ab\0", 3)), hash_text("ab"));
    EXPECT_EQ(hash_text(std::string(base)), hash_text(base));
}

// The word-at-a-time test must agree with a byte-by-byte one wherever the odd byte sits
// (inside the eight-byte words or in the tail) and for every byte value.
TEST(PlainAscii, AgreesWithAByteTestAtEveryPosition)
{
    auto by_bytes = [](std::string_view text, std::string_view excluded, bool allow_del) {
        for (const char ch : text) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 0x20 || c > 0x7f || (c == 0x7f && !allow_del) || excluded.find(ch) != std::string_view::npos)
                return false;
        }
        return true;
    };
    for (std::size_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 21u, 33u}) {
        for (std::size_t at = 0; at < length; ++at) {
            for (int value = 0; value < 256; ++value) {
                std::string text(length, 'a');
                text[at] = static_cast<char>(value);
                for (const bool allow_del : {false, true}) {
                    // The JSON and repr() sets, and one holding the byte short tails are
                    // filled up with.
                    for (const std::string_view excluded : {"'\"\\", "\"\\", " \""}) {
                        ASSERT_EQ(plain_ascii(text, excluded, allow_del), by_bytes(text, excluded, allow_del))
                            << "length " << length << " at " << at << " value " << value;
                    }
                }
                ASSERT_EQ(plain_json_ascii(text), by_bytes(text, "\"\\", true))
                    << length << " " << at << " " << value;
                ASSERT_EQ(plain_repr_ascii(text), by_bytes(text, "'\"\\", false))
                    << length << " " << at << " " << value;
            }
        }
    }
    EXPECT_TRUE(plain_ascii("", "\"", false));
}

// The scan per byte of the set must agree with find_first_of, wherever the set's bytes fall
// and whichever of them comes first; the scan for the last byte with rfind, and the search
// for a text with find.
TEST(FindFirstByteOf, AgreesWithFindFirstOfFindAndRfind)
{
    const std::string_view sets[] = {"*?[", "<>#%*?", "/", ""};
    const std::string alphabet = "ab*?[<>#%/.";
    std::uint32_t seed = 7;
    for (int round = 0; round < 20000; ++round) {
        std::string text(round % 53, 'x');
        for (char& c : text) {
            seed = seed * 1664525u + 1013904223u;
            c = alphabet[(seed >> 16) % alphabet.size()];
        }
        for (const std::string_view set : sets)
            ASSERT_EQ(find_first_byte_of(text, set), std::string_view(text).find_first_of(set))
                << text << " " << set;
        for (const char byte : {'/', '.', 'a', '\0'})
            ASSERT_EQ(find_last_byte(text, byte), std::string_view(text).rfind(byte))
                << text << " " << byte;
        // Texts of every length from every place, across and after the 16-byte blocks.
        for (const std::string_view needle :
             {"ab", "a", "a*?", ".ab/", "", "aaaaaaaaaaaaaaaaaaaaaaaaaa"})
            for (std::size_t from = 0; from <= text.size() + 1; from += 1 + round % 5)
                ASSERT_EQ(find_text(text, needle, from), std::string_view(text).find(needle, from))
                    << text << " " << needle << " " << from;
    }
}

// The one-pass search must find exactly what a search per text finds: at every place
// around the 16-byte blocks, with texts sharing a first byte, running past the path's end,
// or starting with a byte above 0x7f.
TEST(AnyOfTexts, FindsWhatASearchPerTextFinds)
{
    constexpr std::string_view texts[] = {",", "Program Files", "Pr", "\xc2\xb8\xc2\xb1", "xgen.dll"};
    const AnyOfTexts list(texts);
    std::mt19937 rng(5);
    const std::string pieces[] = {"a", "/", "P", "Pro", "Program Files", "xgen.dl", "xgen.dll", ",", "\xc2", "\xc2\xb8\xc2\xb1", "."};
    for (int round = 0; round < 20000; ++round) {
        std::string path;
        const std::size_t count = rng() % 12;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& piece = pieces[rng() % std::size(pieces)];
            path += piece == "a" ? std::string(rng() % 20, 'a') : piece;
        }
        bool expected = false;
        for (const std::string_view text : texts)
            expected = expected || path.find(text) != std::string::npos;
        ASSERT_EQ(list.found_in(path), expected) << path;
    }
    EXPECT_FALSE(list.found_in(""));
}

// Pieces of odd sizes and alignments, many blocks' worth and one larger than a block: each
// is aligned as asked, and what was stored earlier stays where it was, unchanged.
TEST(BlockStore, PiecesStayPutAndAligned)
{
    BlockStore store(64);
    std::vector<std::pair<std::string_view, std::string>> texts;
    std::vector<std::uint32_t*> numbers;
    for (std::uint32_t i = 0; i < 200; ++i) {
        const std::string text(i % 7 + (i == 100 ? 100 : 0), static_cast<char>('a' + i % 26));
        texts.emplace_back(store.copy(text), text);
        auto* number = static_cast<std::uint32_t*>(store.allocate(sizeof(std::uint32_t), 4));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(number) % 4, 0u) << i;
        *number = i;
        numbers.push_back(number);
    }
    for (std::uint32_t i = 0; i < 200; ++i) {
        EXPECT_EQ(texts[i].first, texts[i].second) << i;
        EXPECT_EQ(*numbers[i], i);
    }
}

}  // namespace
}  // namespace script
