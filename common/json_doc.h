#pragma once

// Reading and writing JSON documents the way the job files need them.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace script {

class BlockWriter;

using Json = nlohmann::ordered_json;

/// Job-file form: 4-space indent, ", " at line ends between items, ": " after keys,
/// members in insertion order, non-ASCII written as UTF-8 (not escaped), empty containers
/// as {} and [], no newline at the end. Invalid UTF-8 is replaced, never a failure.
std::string dump_job_document(const Json& value);

/// Same layout with every non-ASCII character written as a \u escape (surrogate pairs
/// beyond the basic plane), as scene.json is written.
std::string dump_ascii_document(const Json& value);

/// Appends a string value as the documents write it (quoted, escaped as Python's json
/// module does; with `ascii` every non-ASCII character as a \u escape).
void append_json_string(std::string& out, std::string_view text, bool ascii);

/// True when append_json_string writes the text as it is between quotes (printable ASCII
/// without quote or backslash), so texts that are each plain can be written joined.
bool json_string_is_plain(std::string_view text);

/// Appends a value in job-file form as it appears nested `level` deep in a document.
void append_job_value(std::string& out, const Json& value, int level);

/// The same in scene.json form (every non-ASCII character as a \u escape).
void append_ascii_value(std::string& out, const Json& value, int level);

/// Deepest nesting of arrays and objects a document read from a file may have. Python's
/// own JSON reader stops near the same depth; deeper text is refused before it is parsed,
/// so nothing downstream ever meets an unbounded nesting.
inline constexpr std::size_t k_max_json_depth = 1000;

/// True when arrays and objects in the text nest deeper than `limit` (strings are skipped;
/// exact for valid JSON, a bound for anything else).
bool json_nests_deeper_than(std::string_view text, std::size_t limit);

/// Parses JSON text; a leading UTF-8 byte-order mark is skipped. Throws script::Error with
/// the parser's message, or the nesting limit, when the text does not parse or nests deeper
/// than k_max_json_depth; a non-empty `source_name` (the file) starts the message.
Json parse_json_text(std::string_view text, std::string_view source_name = {});

/// Reads a whole file as bytes; throws script::Error naming the file and the reason when it
/// cannot (a folder is not read as an empty file).
std::string read_file(const std::string& path);

/// Text on its way to a file through a buffer of bounded size: producers append to
/// buffer() and call flush_if_full() between items, so the file is written in blocks of
/// about the block size and never held whole in memory. Once a text passes one block, its
/// blocks are written on a thread of their own while the next ones are produced (a few at
/// most wait). A failed write throws script::Error naming the file, at the next flush or
/// at finish().
class TextStream
{
public:
    /// Bytes gathered before they are written.
    static constexpr std::size_t k_default_block = 256 * 1024;

    TextStream(int fd, std::string path, std::size_t block = k_default_block);
    /// Waits for the blocks handed over; errors are left to finish().
    ~TextStream();
    TextStream(const TextStream&) = delete;
    TextStream& operator=(const TextStream&) = delete;

    std::string& buffer() { return m_buffer; }
    void append(std::string_view text)
    {
        m_buffer.append(text);
        flush_if_full();
    }
    void flush_if_full()
    {
        if (m_buffer.size() >= m_block)
            flush();
    }
    /// Sends whatever is buffered to the file.
    void flush();
    /// Flushes, and returns once everything is in the file.
    void finish();
    /// How many times the buffer went to the file.
    std::size_t flushes() const { return m_flushes; }

private:
    [[noreturn]] void fail(int err) const;

    int m_fd;
    std::string m_path;
    std::size_t m_block;
    std::string m_buffer;
    std::size_t m_flushes = 0;
    std::unique_ptr<BlockWriter> m_writer; // made at the first full block
    bool m_writer_failed = false;          // no thread could be made: written here
};

/// Writes a file's text as it is produced.
using TextProducer = std::function<void(TextStream& out)>;

/// A file's new text written ahead, possibly on another thread, to a temporary file beside
/// it ("<path>.tmp.<writing thread>"), and renamed over the file when it is put in place.
/// A text never put in place is removed with its holder.
class FileAhead
{
public:
    FileAhead() = default;
    /// Writes what `produce` gives. Throws script::Error as write_file_atomic does, leaving
    /// nothing behind.
    FileAhead(const std::string& path, const TextProducer& produce,
              std::size_t block = TextStream::k_default_block);
    FileAhead(FileAhead&& other) noexcept;
    FileAhead& operator=(FileAhead&& other) noexcept;
    FileAhead(const FileAhead&) = delete;
    FileAhead& operator=(const FileAhead&) = delete;
    ~FileAhead();

    /// True while a text waits to be put in place.
    bool ready() const { return !m_temp.empty(); }
    /// Puts the text in the file's place in one step (platform::replace_file). Throws
    /// script::Error naming the file when it cannot (the text is removed, the file keeps
    /// what it held).
    void put_in_place();
    /// How many blocks the text took.
    std::size_t blocks() const { return m_blocks; }

private:
    void drop() noexcept;

    std::string m_path;
    std::string m_temp;
    std::size_t m_blocks = 0;
};

/// Writes the text to a temporary file in the same folder and renames it over `path`, so
/// readers see either the old or the new complete file. Throws script::Error on failure
/// (the temporary file is removed).
void write_file_atomic(const std::string& path, std::string_view text);
/// The same for text produced straight into the file through a bounded buffer. Whatever
/// the producer throws removes the temporary file and is rethrown; `path` keeps its old
/// content. Returns how many blocks were written.
std::size_t write_file_atomic(const std::string& path, const TextProducer& produce,
                              std::size_t block = TextStream::k_default_block);

/// Fault injection for tests: while a predicate is set, every write_file_atomic whose target
/// it accepts fails as on a full disk (the temporary file is removed, the target keeps its
/// old content, script::Error is thrown). An empty predicate ends the injection.
using WriteFailurePredicate = std::function<bool(const std::string& path)>;
void set_write_failure_for_tests(WriteFailurePredicate fails);

}  // namespace script
