// The scene walk: node parameters named by the rule file, then every active render node's
// scene graph with its look files, material node files and light textures. The location
// tree goes to scene.json.

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "assets/asset_collector.h"
#include "assets/rule_file.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/json_doc.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/regex.h"
#include "common/text_block.h"
#include "common/text_index.h"
#include "common/text_match.h"
#include "driver/job_paths.h"
#include "driver/run_mode.h"

namespace script {

namespace {

constexpr std::string_view k_rule_file_name = "filter.txt";

// The text handed on as a file reference: strings as they are, other values in their
// printed form, nothing for an absent value.
std::string reference_text(const Json& value)
{
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_null())
        return {};
    return py_str(value);
}

// Text read as Python reads a text file: "\r\n" and "\r" end lines like "\n".
std::string universal_newlines(const std::string& text)
{
    return replace_all(replace_all(text, "\r\n", "\n"), "\r", "\n");
}

}  // namespace

/// The location tree: each path component maps to its children; harvested values sit
/// beside the children under their own keys, in insertion order. Small nodes are searched
/// in order; wide ones get a hash index, so wide groups stay linear to build.
class SceneTree
{
public:
    SceneTree() = default;
    SceneTree(const SceneTree&) = delete;
    SceneTree& operator=(const SceneTree&) = delete;
    // Location names can nest deeper than the call stack holds, so sub-trees are released
    // one by one instead of each destructor releasing its children.
    ~SceneTree()
    {
        std::vector<std::unique_ptr<SceneTree>> pending;
        take_children(pending);
        while (!pending.empty()) {
            std::unique_ptr<SceneTree> node = std::move(pending.back());
            pending.pop_back();
            node->take_children(pending);
        }
    }

    SceneTree& child(std::string_view name)
    {
        if (const auto position = find(name)) {
            Slot& slot = m_slots[*position];
            if (!slot.node) {
                slot.node = std::make_unique<SceneTree>();
                slot.value = nullptr;
            }
            return *slot.node;
        }
        add(name, std::make_unique<SceneTree>(), nullptr);
        return *m_slots.back().node;
    }

    void set(std::string_view key, Json value)
    {
        if (const auto position = find(key)) {
            m_slots[*position].node.reset();
            m_slots[*position].value = std::move(value);
            return;
        }
        add(key, nullptr, std::move(value));
    }

    /// The tree as scene.json text, `level` deep (the layout of the job documents, with
    /// non-ASCII characters escaped), written straight to the file without building a JSON
    /// value or the whole text first. The open nodes are kept on a stack of their own, so
    /// any depth the host gives is written. Plain names and texts are put together in a
    /// block of their own; anything that needs escaping is written by the general rules
    /// after the block is sent.
    void write(TextStream& stream, int level) const
    {
        struct Open
        {
            const SceneTree* node;
            std::size_t next;
            int level;
        };
        TextBlock block([&stream](std::string_view text) { stream.append(text); });
        const auto indent = [&block](int depth) {
            constexpr std::string_view k_spaces = "                                        "
                                                  "                                        ";
            for (std::size_t left = static_cast<std::size_t>(depth) * 4; left > 0;) {
                const std::size_t n = std::min(left, k_spaces.size());
                block.append(k_spaces.substr(0, n));
                left -= n;
            }
        };
        // A name or text between quotes, as append_json_string writes it.
        const auto quoted = [&block, &stream](std::string_view text) {
            if (text.size() + 2 <= TextBlock::k_size && plain_json_ascii(text)) {
                char* at = block.room(text.size() + 2);
                at[0] = '"';
                std::memcpy(at + 1, text.data(), text.size());
                at[text.size() + 1] = '"';
                block.commit(text.size() + 2);
                return;
            }
            block.flush();
            append_json_string(stream.buffer(), text, true);
            stream.flush_if_full();
        };
        std::vector<Open> open;
        const SceneTree* node = this;
        int node_level = level;
        while (node) {
            if (node->m_slots.empty()) {
                block.append("{}");
            } else {
                block.append("{\n");
                open.push_back(Open{node, 0, node_level});
            }
            node = nullptr;
            while (!open.empty() && !node) {
                Open& top = open.back();
                if (top.next == top.node->m_slots.size()) {
                    block.append("\n");
                    indent(top.level);
                    block.append("}");
                    open.pop_back();
                    continue;
                }
                const Slot& slot = top.node->m_slots[top.next];
                if (top.next++ > 0)
                    block.append(",\n");
                indent(top.level + 1);
                quoted(slot.key);
                block.append(": ");
                if (slot.node) {
                    node = slot.node.get();
                    node_level = top.level + 1;
                } else if (slot.value.is_string()) {
                    quoted(slot.value.get_ref<const std::string&>());
                } else {
                    block.flush();
                    append_ascii_value(stream.buffer(), slot.value, top.level + 1);
                    stream.flush_if_full();
                }
            }
        }
        block.flush();
    }

private:
    struct Slot
    {
        std::string key;
        std::unique_ptr<SceneTree> node;
        Json value;
    };
    static constexpr std::size_t k_scanned = 8;  // nodes up to this size have no index

    std::optional<std::uint32_t> find(std::string_view key) const
    {
        if (m_slots.size() <= k_scanned) {
            for (std::uint32_t i = 0; i < m_slots.size(); ++i)
                if (m_slots[i].key == key)
                    return i;
            return std::nullopt;
        }
        return m_index.find(key, hash_text(key), [this](std::uint32_t i) -> std::string_view { return m_slots[i].key; });
    }

    void add(std::string_view key, std::unique_ptr<SceneTree> node, Json value)
    {
        m_slots.push_back(Slot{std::string(key), std::move(node), std::move(value)});
        if (m_slots.size() == k_scanned + 1) {
            for (std::uint32_t i = 0; i < m_slots.size(); ++i)
                m_index.insert(i, hash_text(m_slots[i].key));
        } else if (m_slots.size() > k_scanned) {
            m_index.insert(static_cast<std::uint32_t>(m_slots.size() - 1), hash_text(key));
        }
    }

    void take_children(std::vector<std::unique_ptr<SceneTree>>& to)
    {
        for (Slot& slot : m_slots)
            if (slot.node)
                to.push_back(std::move(slot.node));
    }

    std::vector<Slot> m_slots;
    TextIndex m_index;
};

std::string zel_Katana_asset::rule_file_path() const
{
    if (get_katana_run_model(m_host) == "script") {
        static const Regex k_folder_prefix(R"(^.*[/\\])");
        const std::string program = pypath::realpath(platform::program_path());
        const std::optional<Match> folder = k_folder_prefix.search(program);
        if (!folder)
            throw Error("cannot locate " + std::string(k_rule_file_name) + ": the program path '" +
                        program + "' names no folder");
        return folder->group() + std::string(k_rule_file_name);
    }
    const auto& search_path = platform::module_search_path();
    if (search_path.empty())
        throw Error("cannot locate " + std::string(k_rule_file_name) + ": the module search path is empty");
    return search_path.front() + "/" + std::string(k_rule_file_name);
}

void zel_Katana_asset::getAsset()
{
    walk_scene().finish();
}

PendingSceneFile zel_Katana_asset::walk_scene()
{
    xgen_files.clear();

    const std::string rule_file = rule_file_path();
    for (const std::string& line : split(universal_newlines(read_file(rule_file)), "\n")) {
        const RuleLine rule = parse_rule_line(line, rule_file);
        if (rule.kind == RuleLine::Kind::Heading) {
            print_line("--------------------start analyse: " + line + "--------------------");
            continue;
        }
        if (rule.kind == RuleLine::Kind::Empty)
            continue;
        const std::string& node_type = rule.node_type;
        const std::string& param_path = rule.parameter;
        for (const host::NodeRef node : m_host.all_nodes_by_type(node_type)) {
            if (m_host.is_bypassed(node))
                continue;
            const std::optional<host::ParamRef> param = m_host.parameter(node, param_path);
            if (!param)
                continue;
            const Json value = m_host.param_value(*param, 0.0);
            if (!truthy(value))
                continue;
            AnaylseSeq(getFullPath(node) + "." + param_path, reference_text(value));
        }
    }

    PendingSceneFile scene_file(pypath::dirname(job_paths().task_json) + "/scene.json");
    for (const host::NodeRef node : m_host.all_nodes_by_type("Render")) {
        const std::optional<host::LocationRef> producer = m_host.render_producer(node);
        if (!m_host.is_bypassed(node) && producer)
            lookAll(*producer, scene_file);
    }
    m_fs->stop_listing_ahead(); // the cache may go to another thread from here
    scene_file.close();
    return scene_file;
}

// What the walk gave since the last hand-over, in order: locations and the values set on
// each. Texts lie one after the other in `texts`.
struct PendingSceneFile::Batch
{
    struct Step
    {
        std::uint32_t start;
        std::uint32_t size;
        bool location; // else a value for the last location
        Json value;
    };
    static constexpr std::size_t k_steps = 1024;

    std::string texts;
    std::vector<Step> steps;

    void add(std::string_view text, bool location, Json value)
    {
        steps.push_back(Step{static_cast<std::uint32_t>(texts.size()),
                             static_cast<std::uint32_t>(text.size()), location, std::move(value)});
        texts.append(text);
    }
};

// The tree and the thread that builds it from the batches handed over, then writes it.
// Without a thread, batches are built in as they are handed over and the file is written
// when it is finished.
struct PendingSceneFile::Builder
{
    std::string target;
    std::unique_ptr<SceneTree> tree = std::make_unique<SceneTree>();
    SceneTree* node = nullptr; // the location given last

    std::mutex mutex;
    std::condition_variable handed;
    std::vector<std::unique_ptr<Batch>> waiting;
    bool closed = false;
    bool abandoned = false;
    bool written = false;
    bool ended = false; // written, failed or abandoned
    std::condition_variable ending;
    std::exception_ptr failure;
    std::thread thread; // not joinable when none could be made

    void build(Batch& batch)
    {
        for (Batch::Step& step : batch.steps) {
            const std::string_view text =
                std::string_view(batch.texts).substr(step.start, step.size);
            if (step.location) {
                // The tree node of the location: its name split at every "/", empty parts
                // included.
                node = tree.get();
                for (std::size_t start = 0;;) {
                    const std::size_t slash = text.find('/', start);
                    node = &node->child(text.substr(
                        start, slash == std::string_view::npos ? slash : slash - start));
                    if (slash == std::string_view::npos)
                        break;
                    start = slash + 1;
                }
            } else {
                node->set(text, std::move(step.value));
            }
        }
    }

    void write()
    {
        write_file_atomic(target, [this](TextStream& out) { tree->write(out, 0); });
        // When the process ends with the run, the tree is left for exit to take back:
        // freeing a large scene's nodes one by one is work the caller would wait for.
        if (platform::run_ends_process())
            platform::keep_until_exit(std::shared_ptr<SceneTree>(std::move(tree)));
        tree.reset();
    }

    void end(std::exception_ptr failed)
    {
        {
            std::lock_guard lock(mutex);
            failure = failed;
            ended = true;
        }
        ending.notify_all();
    }

    void run()
    {
        platform::offer_thread_heap_huge_pages();
        try {
            for (;;) {
                std::vector<std::unique_ptr<Batch>> batches;
                bool last = false;
                {
                    std::unique_lock lock(mutex);
                    handed.wait(lock, [this] { return !waiting.empty() || closed || abandoned; });
                    if (abandoned) {
                        ended = true;
                        ending.notify_all();
                        return;
                    }
                    batches.swap(waiting);
                    last = closed;
                }
                for (const auto& batch : batches)
                    build(*batch);
                if (last)
                    break;
            }
            write();
            end(nullptr);
        } catch (...) {
            end(std::current_exception());
        }
    }
};

PendingSceneFile::PendingSceneFile(std::string target)
    : m_target(std::move(target)), m_batch(std::make_unique<Batch>()),
      m_builder(std::make_unique<Builder>())
{
    m_builder->target = m_target;
    try {
        m_builder->thread = std::thread([builder = m_builder.get()] { builder->run(); });
    } catch (const std::system_error&) {
        // Built here, batch by batch.
    }
}

PendingSceneFile::PendingSceneFile(PendingSceneFile&&) noexcept = default;

PendingSceneFile::~PendingSceneFile()
{
    if (!m_builder || !m_builder->thread.joinable())
        return;
    {
        std::lock_guard lock(m_builder->mutex);
        m_builder->abandoned = !m_builder->closed;
    }
    m_builder->handed.notify_one();
    m_builder->thread.join();
}

void PendingSceneFile::location(std::string_view full_name)
{
    m_batch->add(full_name, true, nullptr);
}

void PendingSceneFile::set(std::string_view key, Json value)
{
    m_batch->add(key, false, std::move(value));
}

void PendingSceneFile::hand_over_if_large()
{
    if (m_batch->steps.size() >= Batch::k_steps)
        hand_over();
}

void PendingSceneFile::hand_over()
{
    if (m_batch->steps.empty())
        return;
    if (!m_builder->thread.joinable()) {
        m_builder->build(*m_batch);
        m_batch->steps.clear();
        m_batch->texts.clear();
        return;
    }
    {
        std::lock_guard lock(m_builder->mutex);
        m_builder->waiting.push_back(std::move(m_batch));
    }
    m_builder->handed.notify_one();
    m_batch = std::make_unique<Batch>();
    m_batch->steps.reserve(Batch::k_steps);
}

void PendingSceneFile::close()
{
    hand_over();
    if (!m_builder->thread.joinable())
        return;
    {
        std::lock_guard lock(m_builder->mutex);
        m_builder->closed = true;
    }
    m_builder->handed.notify_one();
}

void PendingSceneFile::finish()
{
    if (m_builder->thread.joinable()) {
        m_builder->thread.join();
        if (m_builder->failure)
            std::rethrow_exception(m_builder->failure);
    } else if (!m_builder->written) {
        m_builder->written = true;
        try {
            m_builder->write();
        } catch (...) {
            m_builder->end(std::current_exception());
            throw;
        }
        m_builder->end(nullptr);
    }
    print_line("save scene.json to " + m_target);
}

bool PendingSceneFile::wait_written()
{
    std::unique_lock lock(m_builder->mutex);
    m_builder->ending.wait(lock, [this] { return m_builder->ended; });
    return !m_builder->failure && !m_builder->abandoned;
}

void PendingSceneFile::abandon()
{
    if (!m_builder || m_builder->thread.joinable())
        return;
    {
        std::lock_guard lock(m_builder->mutex);
        if (m_builder->ended)
            return;
        m_builder->abandoned = true;
        m_builder->ended = true;
        m_builder->written = true; // never to be written now
    }
    m_builder->ending.notify_all();
}

namespace {

// Texts a location's harvest builds, kept from one location to the next so that they grow
// once for the whole walk.
struct HarvestTexts
{
    std::string attr_path;
    std::string label;
};

// What the harvest of some locations asks of the collector, in order: lines to print and
// references to expand. They are done a batch later, once the folders the next batch's
// references lie in are being listed ahead on another thread.
class DeferredCalls
{
public:
    static constexpr std::size_t k_batch = 256; // references

    void print(std::string_view line) { add(false, line, {}); }

    void analyse(std::string_view label, std::string_view reference)
    {
        add(true, label, reference);
        ++m_references;
    }

    bool full() const { return m_references >= k_batch; }

    /// The folders of the absolute references, each once: the first ones their expansion
    /// lists.
    std::vector<std::string> folders() const
    {
        std::vector<std::string> folders;
        std::string_view last;
        for (const Call& call : m_calls) {
            const std::string_view reference = this->reference(call);
            if (!call.analyse || !reference.starts_with('/') ||
                find_first_byte_of(reference, "$[") != std::string_view::npos)
                continue;
            const std::string_view folder = reference.substr(0, reference.rfind('/'));
            if (folder.empty() || folder == last)
                continue;
            folders.emplace_back(folder);
            last = folder;
        }
        return folders;
    }

    void run(zel_Katana_asset& collector)
    {
        // Taken out first, so that a call that throws leaves none to be done again. The
        // texts stay where they are until the calls are done.
        std::vector<Call> calls;
        calls.swap(m_calls);
        std::string texts;
        texts.swap(m_texts);
        m_references = 0;
        for (const Call& call : calls) {
            m_label.assign(texts, call.start, call.text_size);
            if (call.analyse)
                collector.AnaylseSeq(m_label,
                                     std::string_view(texts).substr(call.start + call.text_size,
                                                                    call.reference_size));
            else
                print_line(m_label);
        }
        // Their room is kept for the batch after next.
        calls.clear();
        texts.clear();
        m_calls.swap(calls);
        m_texts.swap(texts);
    }

private:
    // A call's texts lie one after the other in m_texts: the line or the reference's
    // label, then the reference.
    struct Call
    {
        bool analyse;
        std::size_t start;
        std::size_t text_size;
        std::size_t reference_size;
    };

    void add(bool analyse, std::string_view text, std::string_view reference)
    {
        m_calls.push_back({analyse, m_texts.size(), text.size(), reference.size()});
        m_texts.append(text).append(reference);
    }

    std::string_view reference(const Call& call) const
    {
        return std::string_view(m_texts).substr(call.start + call.text_size, call.reference_size);
    }

    std::vector<Call> m_calls;
    std::string m_texts;
    std::size_t m_references = 0;
    std::string m_label; // the label of the call being done, as AnaylseSeq takes it
};

// One location of the walk: its place in the location tree, then its look file, geometry
// type, material node files and light textures.
void harvest_location(const zel_Katana_asset& collector, host::LocationRef location,
                      PendingSceneFile& scene_file, HarvestTexts& texts, DeferredCalls& calls)
{
    const host::Host& h = collector.host();
    const std::string full_name = h.location_full_name(location);
    scene_file.location(full_name);

    auto value_of = [&](std::string_view path) -> std::optional<Json> {
        const std::optional<host::AttrRef> attr = h.location_attribute(location, path);
        if (!attr)
            return std::nullopt;
        return h.attribute_value(*attr);
    };

    if (const std::optional<Json> klf = value_of("customProperties.klf"); klf && truthy(*klf)) {
        const std::string text = reference_text(*klf);
        calls.print("Found klf in " + full_name + ": " + text);
        calls.analyse(full_name + ".customProperties.klf", text);
    }

    const std::string type = h.location_type(location);
    if (type == "polymesh" || type == "subdmesh" || type == "renderer procedural")
        scene_file.set("type", type);

    if (const std::optional<host::AttrRef> nodes = h.location_attribute(location, "material.nodes")) {
        // The material node names as the host offers them, child names first, then the
        // child list; a name offered both ways is visited twice.
        std::vector<std::string> names;
        if (auto child_names = h.attribute_child_names(*nodes))
            names = std::move(*child_names);
        if (const auto child_list = h.attribute_child_list(*nodes))
            for (const auto& entry : *child_list)
                names.push_back(entry.first);
        std::string& attr_path = texts.attr_path;
        std::string& label = texts.label;
        for (const std::string& name : names) {
            // "material.nodes.<name>.parameters" is found once for both parameters, from
            // the nodes group; a name holding "." splits into more path parts, so it is
            // looked up by the whole path like any other.
            const bool dotted = name.find('.') != std::string::npos;
            std::optional<host::AttrRef> parameters;
            if (!dotted) {
                if (const std::optional<host::AttrRef> node = h.attribute_child(*nodes, name))
                    parameters = h.attribute_child(*node, "parameters");
            }
            for (const std::string_view param : {"filename", "tex0"}) {
                attr_path.assign("material.nodes.").append(name).append(".parameters.").append(param);
                std::optional<Json> value;
                if (dotted) {
                    value = value_of(attr_path);
                } else if (parameters) {
                    if (const std::optional<host::AttrRef> attr = h.attribute_child(*parameters, param))
                        value = h.attribute_value(*attr);
                }
                if (!value || !truthy(*value))
                    continue;
                label.assign(full_name).append(".").append(attr_path);
                if (value->is_string()) {
                    calls.analyse(label, value->get_ref<const std::string&>());
                } else {
                    calls.analyse(label, reference_text(*value));
                }
                scene_file.set(attr_path, std::move(*value));
            }
        }
    }

    if (type == "light") {
        if (const std::optional<Json> shader = value_of("material.RedshiftLightShader")) {
            const std::string shader_name = reference_text(*shader);
            std::string texture_attr;
            if (shader_name == "Light_IES")
                texture_attr = "material.RedshiftLightParams.profile";
            else if (shader_name == "Light_Dome")
                texture_attr = "material.RedshiftLightParams.tex0";
            if (!texture_attr.empty()) {
                if (const std::optional<Json> texture = value_of(texture_attr)) {
                    scene_file.set(shader_name, *texture);
                    calls.analyse(full_name + "material.RedshiftLightParams",
                                  reference_text(*texture));
                }
            }
        }
        if (const std::optional<Json> surface = value_of("material.arnoldSurfaceShader")) {
            const std::string surface_name = reference_text(*surface);
            std::optional<Json> texture;
            if (surface_name == "image") {
                texture = value_of("material.arnoldSurfaceParams.filename");
            } else if (const std::optional<Json> light = value_of("material.arnoldLightShader");
                       light && reference_text(*light) == "photometric_light") {
                // A photometric light without a profile simply has no texture.
                texture = value_of("material.arnoldLightParams.filename");
            }
            if (texture && truthy(*texture)) {
                scene_file.set(surface_name, *texture);
                calls.analyse(full_name + "material.arnoldLightShader", reference_text(*texture));
            }
        }
    }
}

}  // namespace

void zel_Katana_asset::lookAll(host::LocationRef location, PendingSceneFile& scene_file)
{
    // Depth first in host order, as a recursive walk goes, with the locations still to visit
    // on a stack of our own: the host's scene graph may be deeper than the call stack holds.
    // The calls of a batch are done while the walk harvests the next one, whose folders are
    // being listed ahead meanwhile.
    std::vector<host::LocationRef> pending{location};
    HarvestTexts texts;
    DeferredCalls previous;
    DeferredCalls batch;
    while (!pending.empty()) {
        const host::LocationRef current = pending.back();
        pending.pop_back();
        std::vector<host::LocationRef> children;
        try {
            harvest_location(*this, current, scene_file, texts, batch);
            children = m_host.location_children(current);
        } catch (...) {
            // What was harvested before the host failed is done first, as a walk that does
            // each call at once would have. (A call that fails ends the walk where it is.)
            previous.run(*this);
            batch.run(*this);
            throw;
        }
        scene_file.hand_over_if_large();
        if (batch.full()) {
            m_fs->list_ahead(batch.folders());
            previous.run(*this);
            std::swap(previous, batch);
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    previous.run(*this);
    batch.run(*this);
}

}  // namespace script
