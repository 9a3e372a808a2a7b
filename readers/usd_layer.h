#pragma once

// What a USD layer depends on, as both layer readers (the text reader in usda.h and the
// binary crate reader in usdc.h) report it: every external file the layer authors, in file
// order, with the owner and field that hold it. Layers are not composed: each layer is read
// on its own, and the collector follows the layers it names.
//
// The formats: https://openusd.org/release/api/sdf_page_front.html (layers, owners, fields)
// and https://openusd.org/release/glossary.html (sublayers, references, payloads, clips).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory_resource>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace script::readers {

enum class UsdEncoding : std::uint8_t
{
    Text,   ///< begins with "#usda "
    Crate,  ///< begins with "PXR-USDC"
    Unknown,
};

enum class UsdRefKind : std::uint8_t
{
    SubLayer,      ///< an entry of the layer's subLayers
    Reference,     ///< an item of a references list operation (any of its lists)
    Payload,       ///< an item of a payload list operation, or a single payload
    Asset,         ///< an asset value: attribute default or time sample, metadata, dictionary
    ClipTemplate,  ///< a value clip template: '#' characters stand for the frame digits
};

/// One external file a layer names.
struct UsdAssetRef
{
    UsdRefKind kind = UsdRefKind::Asset;
    /// Where the file as authored, without file-format arguments or a package member (see
    /// usd_file_part), lies in its layer's `path_text` (see UsdLayer::path_of); relative
    /// paths are still relative to the authoring layer.
    std::size_t path_start = 0;
    std::size_t path_size = 0;
    /// Where the path of the owner that holds it ("/" for the layer's own metadata,
    /// "/A{v=x}B.attr", ...) lies in its layer's `owner_text` (see UsdLayer::owner_of).
    std::size_t owner_start = 0;
    std::size_t owner_size = 0;
    /// The field or metadata key that holds it ("subLayers", "references", "default",
    /// "timeSamples", "assetInfo", "templateAssetPath", ...).
    std::string field;

    bool operator==(const UsdAssetRef&) const = default;
};

/// What one layer reader found. A layer that is malformed part way keeps what was read
/// before the fault, and `error` says where and why ("source:line: ..." or
/// "source: offset N: ...").
struct UsdLayer
{
    UsdEncoding encoding = UsdEncoding::Unknown;
    /// "1.0" for text layers, "0.8.0" for crate layers.
    std::string version;
    std::vector<UsdAssetRef> refs;
    /// The files `refs` name, side by side, and the paths of their owners: a layer names
    /// thousands of files and owners, which are made and freed with the layer as a few
    /// blocks rather than one each (and often on two threads). A crate layer's path table
    /// is already one text.
    std::string path_text;
    std::string owner_text;
    std::string error;
    /// Left to the reader's caller: what it works out from each of `refs` off the walk's
    /// thread (see UsdLayerReadAhead), one text per ref, side by side in `prepared_text`
    /// up to its `prepared_ends`; both empty when nothing was.
    std::string prepared_text;
    std::vector<std::size_t> prepared_ends;
    /// Set by UsdLayerReadAhead on a layer its own thread read: only those are handed back
    /// to that thread to be freed (see UsdLayerReadAhead::dispose).
    bool read_ahead = false;

    /// The file `ref`, one of `refs`, names.
    std::string_view path_of(const UsdAssetRef& ref) const
    {
        return std::string_view(path_text).substr(ref.path_start, ref.path_size);
    }
    /// The path of the owner that holds `ref`, one of `refs`.
    std::string_view owner_of(const UsdAssetRef& ref) const
    {
        return std::string_view(owner_text).substr(ref.owner_start, ref.owner_size);
    }
    /// A new ref of `kind` naming `path`, its owner and field left to the caller.
    UsdAssetRef& add_ref(UsdRefKind kind, std::string_view path)
    {
        UsdAssetRef& ref = refs.emplace_back();
        ref.kind = kind;
        set_path(ref, path);
        return ref;
    }
    /// Makes `ref`, one of `refs`, name `path` (added to path_text).
    void set_path(UsdAssetRef& ref, std::string_view path)
    {
        ref.path_start = path_text.size();
        ref.path_size = path.size();
        path_text.append(path);
    }
    /// The text prepared for refs[i], when prepared_ends holds one for each ref.
    std::string_view prepared(std::size_t i) const
    {
        const std::size_t start = i == 0 ? 0 : prepared_ends[i - 1];
        return std::string_view(prepared_text).substr(start, prepared_ends[i] - start);
    }
    /// Ends the text prepared for the next ref: what was added to prepared_text since the
    /// previous one ended.
    void end_prepared() { prepared_ends.push_back(prepared_text.size()); }
};

/// The largest file header the format detection looks at.
inline constexpr std::size_t k_usd_magic_size = 8;

/// The encoding that a file's first bytes announce. Never decided by a suffix.
UsdEncoding detect_usd_encoding(std::string_view first_bytes);

/// The file part of an authored asset path: file-format arguments
/// ("a.usd:SDF_FORMAT_ARGS:x=1") are dropped, and a package member ("pkg.usdz[tex/a.png]")
/// names its package ("pkg.usdz"). Everything else is kept as written.
std::string_view usd_file_part(std::string_view authored);

/// True for an asset path written as a variable expression (between backticks).
bool is_usd_expression(std::string_view path);

/// Evaluates a variable expression of the simple, common form `"text with ${NAME}"`
/// against a layer's expression variables. Empty when the expression has another form or
/// names a variable the layer does not define.
std::string evaluate_usd_expression(std::string_view expression,
                                    const std::map<std::string, std::string>& variables);

/// Replaces the expressions among `layer.refs` by their values; an expression that cannot
/// be evaluated is dropped, and the first one is reported in `layer.error` when that is
/// still empty.
void resolve_usd_expressions(UsdLayer& layer, const std::map<std::string, std::string>& variables,
                             std::string_view source_name);

/// The short name of a reference kind for messages ("sublayer", "reference", ...).
std::string_view usd_ref_kind_name(UsdRefKind kind);

/// Reads a layer file of either encoding, chosen by its first bytes. A file that cannot
/// be opened, or has neither header, gives an empty layer with `error` set.
UsdLayer read_usd_layer_file(const std::string& path);

/// Reads layer files on a thread of its own ahead of a walk that is about to need them.
/// The walk names the layers it will enter (want) and takes each when it gets there
/// (take); what take returns is what read_usd_layer_file returns for the path. A layer
/// wanted but not taken is let go with forget. The reading thread also goes on, without
/// waiting for the walk, to the layers that each layer read probably leads to (as the
/// Prepare work says); those the walk does not want after all are let go with
/// forget_unwanted. The layers waiting read and untaken name at most k_read_ahead_paths
/// paths between them (one layer may name more, when it waits alone), so memory does not
/// follow the size of the tree.
class UsdLayerReadAhead
{
public:
    static constexpr std::size_t k_read_ahead_paths = std::size_t{1} << 15;
    /// Taken layers handed back wait at most this many to be freed.
    static constexpr std::size_t k_disposed_limit = 16;

    /// Work on a layer just read, done by the thread that read it (filling `prepared`,
    /// say): the reading thread, or the taker's while it waits (so both at once). It
    /// returns the layers the walk will probably enter from this one, in order: they are
    /// read next, unless they were queued before.
    using Prepare =
        std::function<std::vector<std::string>(const std::string& path, UsdLayer& layer)>;

    /// Starts the reading thread; throws std::system_error when no thread can be started.
    /// `prepare`, when given, is run on each layer read ahead.
    explicit UsdLayerReadAhead(Prepare prepare = {});
    /// Waits for the layer being read, if any, and stops the thread.
    ~UsdLayerReadAhead();
    UsdLayerReadAhead(const UsdLayerReadAhead&) = delete;
    UsdLayerReadAhead& operator=(const UsdLayerReadAhead&) = delete;

    /// Queues `paths` to be read, in their order and before every path queued earlier
    /// (a walk goes depth first); paths queued or read already stay where they are.
    void want(const std::vector<std::string>& paths);
    /// The layer at `path`: read ahead, or read here and now when its turn has not come or
    /// it was never wanted. While the reading thread is on it, the calling thread reads
    /// the layers queued next (as the reading thread would, prepared) and then waits for
    /// it. Whatever the read threw is thrown here.
    UsdLayer take(const std::string& path);
    /// `paths` will not be taken: drops them from the queue, or their layers once read.
    void forget(const std::vector<std::string>& paths);
    /// Like forget, for those of `paths` that were queued only because a Prepare named
    /// them and that have not been wanted since.
    void forget_unwanted(const std::vector<std::string>& paths);
    /// Hands a taken layer back to be freed on the thread that read it: memory freed by
    /// the thread whose heap it is in takes no lock the other thread holds. A layer the
    /// reading thread read is freed there, any other one here and now.
    void dispose(UsdLayer&& layer);
    /// The paths named by the layers read and not yet taken, one more for each layer: what
    /// k_read_ahead_paths bounds.
    std::size_t paths_waiting();

private:
    enum class State : std::uint8_t
    {
        Queued,
        Reading,
        Read,
    };
    struct Entry
    {
        State state = State::Queued;
        bool forgotten = false;  // Reading: dropped as soon as it is read
        bool unwanted = false;   // queued because a Prepare named it, not wanted since
        UsdLayer layer;
        std::exception_ptr error;
    };

    void work();
    /// Reads the next layer queued, if there is room for it; false when none was read.
    /// Called with the lock held, which it lets go while reading.
    /// `on_worker`: the reading thread calls it (rather than a taker).
    bool read_next(std::unique_lock<std::mutex>& lock, bool on_worker);
    bool worker_can_go_on() const;
    /// Whether another layer may be read ahead now.
    bool room_to_read() const;
    // The paths and entries both threads add and remove are kept in a pool of their own
    // (used under the lock only), so that neither thread frees blocks of the other's heap.
    using Path = std::pmr::string;
    struct PathHash
    {
        using is_transparent = void;
        std::size_t operator()(std::string_view path) const
        {
            return std::hash<std::string_view>{}(path);
        }
    };
    struct PathEqual
    {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const { return a == b; }
    };
    using Entries = std::pmr::unordered_map<Path, Entry, PathHash, PathEqual>;

    /// Drops an entry: from the queue, once read, or (Reading) as soon as it is read.
    void drop(Entries::iterator it);
    /// Queues the layers a Prepare named, first in the queue, unless queued before.
    void queue_named(const std::vector<std::string>& paths);
    /// Counts a layer in (`add`) or out of those read and untaken.
    void count_untaken(const Entry& entry, bool add);
    /// Unlocks, waking the reading thread if it waits and now has something to do
    /// (`slot_freed`: a layer read ahead was let go).
    void wake_worker(std::unique_lock<std::mutex>& lock, bool slot_freed);

    Prepare m_prepare;
    std::mutex m_mutex;
    std::condition_variable m_work;    // the reading thread waits here
    std::condition_variable m_read;    // a taker waits here for the layer being read
    std::pmr::unsynchronized_pool_resource m_pool;
    std::vector<UsdLayer> m_disposed;  // freed by the reading thread when it next wakes
    std::vector<UsdLayer> m_freeing;   // the reading thread's side of m_disposed
    bool m_worker_idle = false;
    bool m_taker_waiting = false;
    std::pmr::deque<Path> m_queue{&m_pool}; // next to read first; may hold paths no longer queued
    Entries m_entries{&m_pool};
    std::pmr::unordered_set<Path, PathHash, PathEqual> m_ever_queued{
        &m_pool};                     // a Prepare's layers are queued once
    std::size_t m_read_untaken = 0;   // layers read and untaken
    std::size_t m_untaken_paths = 0;  // the paths they name, one more for each
    bool m_stop = false;
    std::thread m_worker;
};

}  // namespace script::readers
