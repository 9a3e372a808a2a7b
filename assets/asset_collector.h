#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "assets/analysed_index.h"
#include "assets/asset_record.h"
#include "common/block_store.h"
#include "driver/job_files.h"
#include "host/host.h"

namespace script {

using Json = nlohmann::ordered_json;

namespace fs {
class DirectoryCache;
}
namespace pypath {
class NormalJoin;
}
namespace readers {
class ArnoldSceneApi;
class UsdLayerReadAhead;
}

/// The extensions of a texture's cache twins, which replace its own extension.
inline constexpr std::string_view k_cache_extensions[] = {"tx", "rstexbin"};

/// What a format reader found: files found ("asset") and not found ("miss").
struct ReaderResult
{
    std::vector<std::string> asset;
    std::vector<std::string> miss;
};

/// scene.json, built and written on a thread of its own: the walk hands over the locations
/// it harvests batch by batch, and the file is written once the walk closes it. finish()
/// waits for the file, reports it on the console and rethrows a failure. A file never
/// closed is never written; one never finished is still waited for, so nothing outlives
/// the collector.
class PendingSceneFile
{
public:
    explicit PendingSceneFile(std::string target);
    PendingSceneFile(PendingSceneFile&&) noexcept;
    ~PendingSceneFile();

    /// The location the values set next belong to, by its full name.
    void location(std::string_view full_name);
    /// Sets a harvested value of the location given last.
    void set(std::string_view key, Json value);
    /// Hands what was given so far to the thread once it is enough to be worth it.
    void hand_over_if_large();
    /// The tree is whole: the file is written from it.
    void close();
    void finish();
    /// Waits until the file is written or has failed (on the thread of its own, or in
    /// finish() when there is none); true when it was written. Any thread may ask, once
    /// the file is closed.
    bool wait_written();
    /// Gives up the file when it is written on the caller's thread (no thread of its own
    /// could be made) and not yet finished: it is then never written, and wait_written()
    /// returns false. Does nothing otherwise: a closed file's thread ends by itself.
    void abandon();

private:
    struct Batch;
    struct Builder;
    void hand_over();

    std::string m_target;
    std::unique_ptr<Batch> m_batch;
    std::unique_ptr<Builder> m_builder;
};

/// The asset collector: walks the scene, expands every file reference and writes
/// asset.json, the "asset" list of upload.json, scene.json and "70004".
class zel_Katana_asset : public zel_Katana
{
public:
    /// Runs the whole collection, as the driver's step does.
    explicit zel_Katana_asset(const host::Host& host);

    struct NoCollect
    {
    };
    /// Sets the collector up without collecting (tests and listings call the parts).
    zel_Katana_asset(const host::Host& host, NoCollect);
    ~zel_Katana_asset();

    /// The constructor's work: asset file removal, skip switch, getAsset, reports.
    void collect();

    // Scene walk
    void getAsset();
    /// getAsset with scene.json still being written, so the caller can build the reports
    /// meanwhile.
    PendingSceneFile walk_scene();
    void lookAll(host::LocationRef location, PendingSceneFile& scene_file);
    /// The rule file beside the analyser: beside the program in script mode, else in the
    /// first folder of the module search path.
    std::string rule_file_path() const;

    // Analysed check: 0 not recorded, 1 among found files, 2 among missing files.
    int is_analysed(std::string_view path) const;

    // Path helpers
    std::string upper_one(std::string file_path) const;
    std::string getFullPath(host::NodeRef node) const;
    void get_file_from_dir(const std::string& dir_path,
                           const std::vector<std::string>& need_types = {});
    std::vector<std::string> checkCacheFile(const std::string& string);
    /// The same twins appended to `out` (which may hold `path` itself).
    void add_cache_twins(std::string_view path, std::vector<std::string>& out);
    /// With `regular_files`, a mark is added there for each twin: whether the folder
    /// listing holds it as a regular file.
    void add_cache_twins(std::string_view path, TextList& out,
                         std::vector<std::uint8_t>* regular_files = nullptr);
    std::vector<std::string> getDirFiles(const std::string& path);
    /// Paths in a folder matching prefix*.ext (a "$F4$T1"-style frame token in the prefix
    /// stands for the frame). Drive, network, variable and POSIX absolute folders are used
    /// as they are; a relative folder lies below project_dir().
    std::vector<std::string> get_files_from_folder(const std::string& folder,
                                                   const std::string& prefix = "*",
                                                   const std::string& ext = "*");
    /// The project folder for relative folders: given_proj_dir when set, else the
    /// environment variable "PROJECT" when set and non-empty, else the scene file's folder.
    std::string project_dir() const;

    /// Expands one reference and records it under the source label. Returns the working
    /// record only in the directory case (nothing is recorded then).
    std::optional<ReaderResult> AnaylseSeq(const std::string& nodePath, std::string_view filePath);

    // Format readers, each defined in its own file under readers/. They are called by
    // the dispatch table of AnaylseSeq for found files of their kind.

    /// Arnold scene description (readers/arnold_scene.cpp): the file and the scene
    /// descriptions it nests in "asset", with the files of its crowd folders; nested ones
    /// and crowd folders that do not exist in "miss". Every other file it names goes to
    /// AnaylseSeq under filePath as source label. Throws script::Error naming a file that
    /// cannot be opened; the session is ended on every way out.
    ReaderResult getAssSequen(const std::string& filePath);
    /// The same through another implementation of the renderer's scene operations.
    ReaderResult getAssSequen(const std::string& filePath, readers::ArnoldSceneApi& api);

    /// Look XML (readers/look_xml.cpp): appends to xmlAssets and xmlMissFile.
    void getXmlAssets(const std::string& xmlFile);
    /// klf through the host's look-file service (readers/klf.cpp): calls AnaylseSeq with
    /// nodePath for every texture of its materials.
    void getKlfAssets(const std::string& nodePath, const std::string& xmlFile);
    /// Yeti fur cache (readers/yeti.cpp): every file parameter of its graph goes through
    /// AnaylseSeq under nodePath, the label the cache itself was expanded under, so frame
    /// and UDIM tokens expand and twins are added; the result is empty then. A cache is
    /// read once per collector (yeti_read), so caches naming each other end.
    ReaderResult getYetiSequen(const std::string& fur_file, const std::string& nodePath);
    /// Redshift proxies (readers/redshift.cpp): sets rs_cmdLine once.
    void getRsCmdline();
    ReaderResult get_rs_file_from_cmd(const std::string& rs_file);
    /// One raw output line of the Redshift tool as text; throws script::Error when it is
    /// not valid UTF-8.
    std::string cmd_out_decode(const std::string& src_str) const;
    /// OCIO configuration (readers/ocio.cpp): every file of every search folder.
    std::vector<std::string> get_ocio_files(const std::string& ocio_file);
    /// XGen collection (readers/xgen.cpp): appends the collection to xgen_files (a
    /// collection already there is not read again) and what it names to xgenfiles; sets
    /// the environment variables "PROJECT", "DESC" and "FXMODULE". Throws script::Error
    /// naming the file when it cannot be opened.
    void get_files_from_xgen_file(const std::string& xgen_file);
    /// The collection's candidate filter: an existing folder adds every file below it; a
    /// drive, network or POSIX absolute path, or one that begins with a variable that
    /// could not be expanded, is appended with "/" separators; anything else is dropped.
    /// `xgen_name` (a label) has no effect.
    void get_file_xgen(const std::vector<std::string>& xgen_files, const std::string& xgen_name);
    /// The files beside the archive files of an archive primitive's "files" value, without
    /// duplicates, in the order found.
    std::vector<std::string> get_xgen_Archive_files(const std::string& Archive_attr);

    /// USD layers (readers/usd.cpp). The reference walk: lists the layer in usd_list,
    /// reads it through the dispatch and walks every layer it names (sublayers,
    /// references, payloads), each layer once per walk, so cycles end.
    void get_all_usd(const std::string& usd_path);
    /// The dispatch: lists the normalised layer in usdFiles unless already there (a
    /// missing layer is listed too) and reads an existing ".usd", ".usdc" or ".usda" layer.
    void get_files_from_usd_file(const std::string& usd_file);
    /// Read a layer of either encoding (told by its first bytes) and hand every file it
    /// names on: layers to the dispatch, everything else to AnaylseSeq under the layer's
    /// path. A layer that cannot be read is reported with the reason and the walk goes on.
    void handle_usd_file(const std::string& usd_file);
    void handle_usda_file(const std::string& usd_file);
    /// An asset path anchored to the layer that authors it: absolute paths (POSIX, drive,
    /// network) as they are, "$VAR" and "[VAR]" paths as they are (AnaylseSeq expands
    /// them), relative ones joined to the layer's folder (a name such as "assets/a.usd"
    /// that is no file there is looked for in the folders of PXR_AR_DEFAULT_SEARCH_PATH,
    /// as USD's default resolver does); normalised with "/" separators
    /// and an upper-case drive letter. Empty for an empty path or a resolver scheme
    /// ("http:", ...). Never changes the working directory.
    std::string resolve_ref(const std::string& layer, const std::string& reference) const;
    /// resolve_ref with the layer's folder (usd_layer_folder) worked out once per layer.
    std::string resolve_ref_in(const pypath::NormalJoin& folder, std::string_view reference) const;
    /// The part of resolve_ref_in that needs no disk, and so can be done on any thread:
    /// a relative path joined to the folder, whatever exists there.
    std::string anchor_ref(const pypath::NormalJoin& folder, std::string_view reference) const;
    /// The same, added to `out`.
    void anchor_ref_into(std::string& out, const pypath::NormalJoin& folder,
                         std::string_view reference) const;
    /// The rest: a search-path name anchored to no file is looked for in the search path.
    std::string resolve_anchored(std::string_view reference, std::string anchored) const;
    /// The file a search-path name anchored to no file names in the search path, when it
    /// is not `anchored` itself.
    std::optional<std::string> search_path_file(std::string_view reference,
                                                std::string_view anchored) const;
    static std::string usd_layer_folder(const std::string& layer);
    /// Empties usd_list and usdFiles and forgets the layers of the previous walk.
    void reset_usd_walk();

    // Listings for checking a scene by hand, wrapped by the step wrapper
    // (readers/listings.cpp). An empty node_name lists every node of the type.
    void get_Alembic_In(const std::string& node_name = {});
    void get_PrmanShadingNode(const std::string& node_name = {});

    /// The merge of a working record into ASSET_JSON: the label's found list is extended
    /// (created even when empty), its missing list only when there is something missing.
    void record(const std::string& nodePath, const ReaderResult& result);

    // Collector state shared by the steps and readers. ASSET_JSON changes only through
    // record(), which keeps the analysed index in step with it.
    assets::AssetRecord ASSET_JSON;
    std::string rs_cmdLine;
    std::set<std::string> AssLists;
    std::string given_proj_dir;  ///< empty: project_dir() derives it at each use
    std::vector<std::string> xgen_files;
    std::vector<std::string> xgenfiles;
    std::vector<std::string> xmlAssets;
    std::vector<std::string> xmlMissFile;
    std::vector<std::string> usd_list;
    std::vector<std::string> usdFiles;
    /// What the current walk read of each layer: the sublayers as authored, and every
    /// layer it names (as authored, as resolved).
    struct UsdLayerLinks
    {
        std::vector<std::string> sublayers;
        std::vector<std::pair<std::string, std::string>> layers;
    };
    std::map<std::string, UsdLayerLinks> usd_links;
    std::unordered_set<std::string> usd_listed;   ///< the members of usdFiles
    std::unordered_set<std::string> usd_entered;  ///< layers the reference walk entered
    std::set<std::string> rs_asseted;
    std::set<std::string> yeti_read;

    const host::Host& host() const { return m_host; }
    /// The run's folder listings: every existence test and wildcard expansion of the
    /// collection goes through it, so each folder is listed once.
    fs::DirectoryCache& directory_cache() { return *m_fs; }

private:
    const host::Host& m_host;
    std::unique_ptr<assets::AnalysedIndex> m_analysed;
    std::unique_ptr<fs::DirectoryCache> m_fs;
    // Cache-twin candidates are built here, so misses allocate nothing.
    std::string m_twin_source;
    std::string_view m_twin_extension; // of m_twin_source
    std::vector<std::size_t> m_twin_places;
    std::size_t m_twin_folder_end = std::string::npos; // the folder's end when the twins lie in it
    // Sources come folder by folder: what is known of the last source's folder is kept.
    // The extension named there does not occur in the folder's own path when `clean`, and
    // `extensions` are the extension bits of the folder's listing once known.
    struct TwinFolder
    {
        std::string folder;
        std::string extension;
        bool clean = false;
        std::optional<std::uint64_t> extensions;
    } m_twin_folder;
    std::string m_candidate;
    bool m_candidate_regular = false; // the listing holds m_candidate as a regular file
    /// Takes `path` as the source of twins; false when it can have none.
    bool find_twin_places(std::string_view path);
    /// Whether the source's twin with the `kind`th of k_cache_extensions exists; it is left
    /// in m_candidate.
    bool twin_exists(std::size_t kind);
    /// add_cache_twins for either kind of list.
    template <typename Out>
    void add_twins(std::string_view path, Out& out, std::vector<std::uint8_t>* regular_files);
    /// Each match of m_matches goes to m_found (its mark to m_found_regular) followed by
    /// its cache twins, and its quoted console line to `lines`.
    void list_matches(std::string& lines);
    /// The twins of `path`, whose name starts after `slash`, as add_cache_twins gives them.
    void add_match_twins(std::string_view path, std::size_t slash);
    // The folder of the match listed last, and whether it is printed as it is.
    std::string m_match_folder;
    bool m_match_folder_plain = false;
    std::string m_twin_name;
    // An expansion's matches and found files, kept from one to the next, each with a mark
    // telling whether the folder listings hold it as a regular file.
    TextList m_matches;
    std::vector<std::uint8_t> m_matches_regular;
    TextList m_found;
    std::vector<std::uint8_t> m_found_regular;
    // By path number: the folder listings hold the found path as a regular file, so the
    // upload list need not ask them again (0: not known).
    std::vector<std::uint8_t> m_regular_files;

    /// What expanding an absolute reference gave: the console lines it printed (the
    /// wildcard pattern and the matches, as quoted), the found paths in order (twins
    /// included) and the missing ones. Scenes name the same texture from many locations; a
    /// reference met again is filed from here without listing, matching, hashing or
    /// quoting anything.
    struct Expansion
    {
        std::string console;
        std::vector<assets::PathId> asset;
        std::vector<assets::PathId> miss;
    };
    /// An expansion as kept: its paths' numbers and its console text side by side in one
    /// of a few large blocks (see store_expansion), so that a replay reads one run of
    /// memory rather than three blocks of their own.
    struct KeptExpansion
    {
        std::span<const assets::PathId> asset;
        std::span<const assets::PathId> miss;
        std::string_view console;
    };
    // Reads the layers a USD layer names while its other files are expanded; made at the
    // first layer that names another, ended when the scene walk is over (shared: made and
    // ended where its type is known).
    std::shared_ptr<readers::UsdLayerReadAhead> m_usd_read_ahead;
    bool m_usd_read_ahead_failed = false;
    readers::UsdLayerReadAhead* usd_read_ahead();

    // Kept expansions by the number of their reference in a table of their own.
    assets::PathTable m_expanded;
    std::vector<KeptExpansion> m_expansions;
    // Where the kept expansions lie, one after another.
    BlockStore m_kept_store{std::size_t{1} << 18};
    KeptExpansion store_expansion(const Expansion& expansion);
    // References as written whose expansion is kept, by their number in a table of their
    // own: a reference written again goes straight to its expansion while no recorded
    // path can contain it, which its bytes tell (a token's "<", say, is in no file name).
    struct WrittenReference
    {
        std::size_t expansion;
        assets::ByteSet bytes;
    };
    assets::PathTable m_written;
    std::vector<WrittenReference> m_written_references;
    /// Notes that the reference as written (of the bytes `bytes`) expands to a kept
    /// expansion, unless its text depends on the environment.
    void note_written(std::string_view filePath, const assets::ByteSet& bytes,
                      std::size_t expansion);
    /// Keeps the expansion of an absolute normal reference for the next time it is met, as
    /// written (`filePath`, of the bytes `bytes`) and as expanded (`reference`).
    void keep_expansion(std::string_view filePath, const assets::ByteSet& bytes,
                        const std::string& reference, const Expansion& expansion);
    /// Replays a kept expansion under another label: the same console lines and record.
    void replay(const std::string& nodePath, const KeptExpansion& expansion);
    /// record(), keeping the numbers of the recorded paths in `keep` when it is given.
    void record(const std::string& nodePath, const ReaderResult& result, Expansion* keep);
    /// The same for found paths held in a list, with their marks of regular files when
    /// known (one per path).
    void record(const std::string& nodePath, const TextList& found,
                const std::vector<std::string>& miss, Expansion* keep,
                const std::vector<std::uint8_t>* regular_files = nullptr);
    void record_found(std::span<const assets::PathId> found, Expansion* keep);
    void record_missing(const std::string& nodePath, const std::vector<std::string>& miss,
                        Expansion* keep);
};

}  // namespace script
