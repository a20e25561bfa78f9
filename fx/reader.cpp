#include "fx/reader.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

#include "fx/format.h"
#include "fx/states.h"

namespace kestrin::fx {
namespace {

struct FormatError {
    std::string message;
};

[[noreturn]] void fail(std::string message) {
    throw FormatError{std::move(message)};
}

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%" PRIX64, v);
    return buf;
}

std::string num(uint64_t v) {
    return std::to_string(v);
}

uint32_t load(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::string describe(std::string_view what, size_t index, std::string_view name) {
    std::string s = std::string(what) + " " + num(index);
    if (!name.empty()) s += " (" + std::string(name) + ")";
    return s;
}

struct Typedef {
    ParamType type = ParamType::Void;
    ParamClass cls = ParamClass::Scalar;
    std::string name;
    std::optional<std::string> semantic;
    uint32_t elements = 0, rows = 0, columns = 0;
};

// What an object id stands for, and what fills it.
enum class ObjectUse : uint8_t {
    TextureParameter, // a texture parameter's value: set by the application, no data here
    Shader,           // a VertexShader/PixelShader state: bytecode from a resource (or object data)
    TextureState,     // a Texture state: the name of a texture parameter from a resource
};

struct ObjectSlot {
    ObjectUse use;
    std::string where;
    bool filled = false;
    std::vector<uint32_t> code; // Shader
    std::string textureName;    // TextureState
};

// Where a state sits: in a sampler parameter (owner = parameter) or a pass (owner = technique).
struct StateLocation {
    bool inSampler = false;
    uint32_t owner = 0, pass = 0, state = 0;
    auto key() const { return std::make_tuple(inSampler, owner, pass, state); }
};

struct PendingState {
    StateLocation location;
    uint32_t objectId;
    std::string where;
};

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : file_(data), fileSize_(size) {}

    Effect run() {
        if (fileSize_ < format::kHeaderBytes)
            fail("file too short: " + num(fileSize_) + " bytes, the header alone takes 8");
        const uint32_t tag = load(file_);
        if (tag != format::kTag)
            fail("tag " + hex(tag) + " is not " + hex(format::kTag) + " (compiled fx_2_0 effect)");
        const uint32_t dataSize = load(file_ + 4);
        if (dataSize > fileSize_ - format::kHeaderBytes)
            fail("data area size " + hex(dataSize) + " runs past the end of the file (" +
                 hex(fileSize_ - format::kHeaderBytes) + " bytes follow the header)");
        base_ = file_ + format::kHeaderBytes;
        dataSize_ = dataSize;
        pos_ = format::kHeaderBytes + dataSize;

        const uint32_t parameterCount = next("parameter count");
        const uint32_t techniqueCount = next("technique count");
        next("shader count"); // informational; D3DX ignores it
        objectCount_ = next("object count");

        needCount(parameterCount, 16, "parameter count");
        effect_.parameters.reserve(parameterCount);
        for (uint32_t i = 0; i < parameterCount; ++i) readParameter(i);

        needCount(techniqueCount, 12, "technique count");
        effect_.techniques.reserve(techniqueCount);
        for (uint32_t t = 0; t < techniqueCount; ++t) readTechnique(t);

        const uint32_t objectDataCount = next("object data count");
        const uint32_t resourceCount = next("resource count");
        needCount(objectDataCount, 8, "object data count");
        for (uint32_t i = 0; i < objectDataCount; ++i) readObjectData(i);
        needCount(resourceCount, 24, "resource count");
        for (uint32_t i = 0; i < resourceCount; ++i) readResource(i);

        resolvePending();
        return std::move(effect_);
    }

  private:
    // ---- structured area: read strictly in sequence ----

    size_t remaining() const { return fileSize_ - pos_; }

    uint32_t next(const std::string& what) {
        if (remaining() < 4)
            fail("file ends inside the " + what + " (file offset " + hex(pos_) + ", size " +
                 hex(fileSize_) + ")");
        const uint32_t v = load(file_ + pos_);
        pos_ += 4;
        return v;
    }

    // Rejects a count whose records cannot fit in what is left of the file, before anything is
    // allocated for them.
    void needCount(uint64_t count, uint64_t minBytesEach, const std::string& what) {
        if (count * minBytesEach > remaining())
            fail(what + " " + num(count) + " exceeds what the remaining " + num(remaining()) +
                 " bytes of the file can hold");
    }

    // Takes `size` bytes of trailing data padded to 4 and returns where they start.
    const uint8_t* takePadded(uint32_t size, const std::string& where) {
        const uint64_t padded = (uint64_t{size} + 3) & ~uint64_t{3};
        if (padded > remaining())
            fail(where + ": " + num(size) + " bytes of data run past the end of the file (" +
                 num(remaining()) + " bytes left)");
        const uint8_t* at = file_ + pos_;
        pos_ += padded;
        return at;
    }

    void skipAnnotations(uint32_t count, const std::string& where) {
        // Annotation typedefs and values are not part of the model; nothing reads them.
        needCount(count, 8, where + " annotation count");
        pos_ += uint64_t{count} * 8;
    }

    // ---- data area: addressed by offsets from its start ----

    void checkData(const std::string& where, std::string_view field, uint32_t offset,
                   uint64_t bytes) const {
        if (offset >= dataSize_)
            fail(where + ": " + std::string(field) + " offset " + hex(offset) +
                 " outside data area (size " + hex(dataSize_) + ")");
        if (uint64_t{offset} + bytes > dataSize_)
            fail(where + ": " + std::string(field) + " at " + hex(offset) + " needs " + num(bytes) +
                 " bytes, past the end of the data area (size " + hex(dataSize_) + ")");
    }

    uint32_t dataWord(const std::string& where, std::string_view field, uint32_t offset) const {
        checkData(where, field, offset, 4);
        return load(base_ + offset);
    }

    // A string record: byte length including the NUL, then the bytes. Offset 0 = no string.
    std::string readString(uint32_t offset, const std::string& where) const {
        if (offset == 0) return {};
        const uint32_t length = dataWord(where, "string", offset);
        if (length == 0) return {};
        if (length > dataSize_ - offset - 4)
            fail(where + ": string at " + hex(offset) + " claims " + num(length) +
                 " bytes, past the end of the data area (size " + hex(dataSize_) + ")");
        const auto* bytes = reinterpret_cast<const char*>(base_ + offset + 4);
        const void* nul = std::memchr(bytes, 0, length);
        if (!nul)
            fail(where + ": string at " + hex(offset) + " has no NUL within its " + num(length) +
                 " bytes");
        return std::string(bytes, static_cast<const char*>(nul));
    }

    Typedef readTypedef(uint32_t offset, const std::string& where) const {
        checkData(where, "typedef", offset, format::kTypedefObjectWords * 4);
        const uint32_t rawType = load(base_ + offset);
        const uint32_t rawClass = load(base_ + offset + 4);
        if (rawType > static_cast<uint32_t>(ParamType::VertexShader))
            fail(where + ": typedef at " + hex(offset) + " has unknown type " + num(rawType));
        if (rawClass > static_cast<uint32_t>(ParamClass::Struct))
            fail(where + ": typedef at " + hex(offset) + " has unknown class " + num(rawClass));
        Typedef t;
        t.type = static_cast<ParamType>(rawType);
        t.cls = static_cast<ParamClass>(rawClass);
        t.elements = load(base_ + offset + 16);
        if (t.cls == ParamClass::Struct) fail(where + ": structures are not supported");
        if (t.cls == ParamClass::Object) {
            if (isNumeric(t.type) || t.type == ParamType::Void)
                fail(where + ": type " + std::string(typeName(t.type)) + " with class OBJECT");
            t.rows = t.columns = 0;
        } else {
            if (!isNumeric(t.type))
                fail(where + ": type " + std::string(typeName(t.type)) + " with class " +
                     std::string(className(t.cls)));
            checkData(where, "typedef", offset, format::kTypedefNumericWords * 4);
            const uint32_t first = load(base_ + offset + 20);
            const uint32_t second = load(base_ + offset + 24);
            // Vectors store columns first; scalars and matrices rows first.
            t.rows = t.cls == ParamClass::Vector ? second : first;
            t.columns = t.cls == ParamClass::Vector ? first : second;
            if (t.rows < 1 || t.rows > 4 || t.columns < 1 || t.columns > 4)
                fail(where + ": typedef at " + hex(offset) + " has shape " + num(t.rows) + "x" +
                     num(t.columns) + ", outside 1x1..4x4");
        }
        t.name = readString(load(base_ + offset + 8), where + " name");
        const uint32_t semanticOffset = load(base_ + offset + 12);
        if (semanticOffset != 0) t.semantic = readString(semanticOffset, where + " semantic");
        return t;
    }

    // ---- objects ----

    void claimObject(uint32_t id, ObjectUse use, const std::string& where) {
        if (id >= objectCount_)
            fail(where + ": object id " + num(id) + " not below the object count " +
                 num(objectCount_));
        const auto [it, inserted] = objects_.try_emplace(id, ObjectSlot{use, where, false, {}, {}});
        if (!inserted)
            fail(where + ": object id " + num(id) + " is already used by " + it->second.where);
    }

    static void fillShader(ObjectSlot& slot, uint32_t id, const uint8_t* bytes, uint32_t size,
                           const std::string& where) {
        if (slot.filled) fail(where + ": object id " + num(id) + " is filled twice");
        if (size == 0) fail(where + ": shader of 0 bytes");
        if (size % 4 != 0)
            fail(where + ": shader of " + num(size) + " bytes is not a whole number of DWORDs");
        slot.code.resize(size / 4);
        for (uint32_t k = 0; k < size / 4; ++k) slot.code[k] = load(bytes + 4 * k);
        slot.filled = true;
    }

    // ---- parameters ----

    void readParameter(uint32_t i) {
        std::string where = "parameter " + num(i);
        const uint32_t typedefOffset = next(where + " record");
        const uint32_t valueOffset = next(where + " record");
        next(where + " record"); // flags (shared through a pool): no meaning without a pool
        skipAnnotations(next(where + " record"), where);

        const Typedef t = readTypedef(typedefOffset, where);
        where = describe("parameter", i, t.name);
        Parameter p;
        p.name = t.name;
        p.semantic = t.semantic;
        p.type = t.type;
        p.cls = t.cls;
        p.rows = t.rows;
        p.columns = t.columns;
        p.elements = t.elements;

        if (isNumeric(t.type)) {
            const uint64_t words = valueWordCount(p);
            checkData(where, "value", valueOffset, words * 4);
            p.value.resize(words);
            for (uint64_t k = 0; k < words; ++k) p.value[k] = load(base_ + valueOffset + 4 * k);
        } else if (isTexture(t.type)) {
            if (t.elements != 0) fail(where + ": arrays of textures are not supported");
            claimObject(dataWord(where, "value", valueOffset), ObjectUse::TextureParameter, where);
        } else if (isSampler(t.type)) {
            if (t.elements != 0) fail(where + ": arrays of samplers are not supported");
            const uint32_t count = dataWord(where, "value", valueOffset);
            if (count > (dataSize_ - valueOffset - 4) / 16)
                fail(where + ": sampler state count " + num(count) + " at " + hex(valueOffset) +
                     " does not fit in the data area (size " + hex(dataSize_) + ")");
            p.samplerStates.reserve(count);
            for (uint32_t s = 0; s < count; ++s) {
                const uint8_t* r = base_ + valueOffset + 4 + 16 * s;
                // The record's index field (fxc writes 0x100) is not used inside a sampler.
                p.samplerStates.push_back(readState(load(r), 0, load(r + 8), load(r + 12),
                                                    where + " state " + num(s), {true, i, 0, s}));
            }
        } else {
            fail(where + ": parameters of type " + std::string(typeName(t.type)) +
                 " are not supported");
        }
        effect_.parameters.push_back(std::move(p));
    }

    // ---- states ----

    State readState(uint32_t operation, uint32_t index, uint32_t typedefOffset,
                    uint32_t valueOffset, const std::string& where, StateLocation location) {
        const StateInfo* info = stateByIndex(operation);
        if (!info)
            fail(where + ": operation " + num(operation) + " outside the state table (0.." +
                 num(state::Count - 1) + ")");
        const std::string named = where + " (" + std::string(info->name) + ")";
        const Typedef t = readTypedef(typedefOffset, named);
        const bool objectState = info->kind == StateKind::VertexShader ||
                                 info->kind == StateKind::PixelShader ||
                                 info->kind == StateKind::Texture;
        State st{operation, index, Literal{}};

        if (t.cls == ParamClass::Object) {
            if (t.elements != 0) fail(named + ": arrays of objects are not supported");
            const StateKind wanted = t.type == ParamType::VertexShader  ? StateKind::VertexShader
                                     : t.type == ParamType::PixelShader ? StateKind::PixelShader
                                     : isTexture(t.type)                ? StateKind::Texture
                                                                        : StateKind::Other;
            if (wanted == StateKind::Other)
                fail(named + ": values of type " + std::string(typeName(t.type)) +
                     " are not supported");
            if (info->kind != wanted)
                fail(named + ": value of type " + std::string(typeName(t.type)) +
                     " does not fit this state");
            if (wanted != StateKind::Texture && location.inSampler)
                fail(named + ": shader code inside a sampler is not supported");
            const uint32_t id = dataWord(named, "value", valueOffset);
            const ObjectUse use =
                wanted == StateKind::Texture ? ObjectUse::TextureState : ObjectUse::Shader;
            claimObject(id, use, named);
            pendingIndex_[location.key()] = pending_.size();
            pending_.push_back({location, id, named});
            if (use == ObjectUse::Shader)
                st.value = ShaderCode{};
            else
                st.value = TextureRef{};
            return st;
        }

        const uint64_t words = uint64_t{t.rows} * t.columns * (t.elements ? t.elements : 1);
        if (words != 1)
            fail(named + ": values of " + num(words) +
                 " words (vectors, matrices, arrays) are not supported");
        const uint32_t word = dataWord(named, "value", valueOffset);
        if (info->valueType == StateValueType::Object) {
            if (!objectState) fail(named + ": this state is not supported");
            if (t.type != ParamType::Int || word != 0)
                fail(named + ": takes an object or NULL (INT 0), not " +
                     std::string(typeName(t.type)) + " " + hex(word));
            st.value = NullObject{};
        } else {
            st.value = Literal{t.type, word};
        }
        return st;
    }

    // ---- techniques ----

    void readTechnique(uint32_t t) {
        std::string where = "technique " + num(t);
        const uint32_t nameOffset = next(where + " record");
        skipAnnotations(next(where + " record"), where);
        const uint32_t passCount = next(where + " record");
        Technique tech;
        tech.name = readString(nameOffset, where + " name");
        where = describe("technique", t, tech.name);
        needCount(passCount, 12, where + " pass count");
        tech.passes.reserve(passCount);
        for (uint32_t p = 0; p < passCount; ++p) {
            std::string passWhere = where + " pass " + num(p);
            const uint32_t passName = next(passWhere + " record");
            skipAnnotations(next(passWhere + " record"), passWhere);
            const uint32_t stateCount = next(passWhere + " record");
            Pass pass;
            pass.name = readString(passName, passWhere + " name");
            passWhere = where + " " + describe("pass", p, pass.name);
            needCount(stateCount, 16, passWhere + " state count");
            pass.states.reserve(stateCount);
            for (uint32_t s = 0; s < stateCount; ++s) {
                const std::string stateWhere = passWhere + " state " + num(s);
                const uint32_t operation = next(stateWhere);
                const uint32_t index = next(stateWhere);
                const uint32_t typedefOffset = next(stateWhere);
                const uint32_t valueOffset = next(stateWhere);
                pass.states.push_back(readState(operation, index, typedefOffset, valueOffset,
                                                stateWhere, {false, t, p, s}));
            }
            tech.passes.push_back(std::move(pass));
        }
        effect_.techniques.push_back(std::move(tech));
    }

    // ---- object data and resources ----

    void readObjectData(uint32_t i) {
        const std::string where = "object data entry " + num(i);
        const uint32_t id = next(where);
        const uint32_t size = next(where);
        const uint8_t* bytes = takePadded(size, where);
        if (id >= objectCount_)
            fail(where + ": object id " + num(id) + " not below the object count " +
                 num(objectCount_));
        if (!objectDataSeen_.insert(id).second)
            fail(where + ": object id " + num(id) + " appears twice");
        const auto it = objects_.find(id);
        if (it == objects_.end()) return; // data for an object nothing refers to: ignored
        ObjectSlot& slot = it->second;
        if (slot.use == ObjectUse::Shader) {
            if (size != 0) fillShader(slot, id, bytes, size, where);
        } else if (size != 0) {
            fail(where + ": object id " + num(id) + " (" + slot.where +
                 ") is a texture but carries " + num(size) + " bytes");
        }
    }

    void readResource(uint32_t i) {
        const std::string where = "resource " + num(i);
        const uint32_t owner = next(where);
        const uint32_t item = next(where);
        const uint32_t element = next(where);
        const uint32_t stateIndex = next(where);
        const uint32_t usage = next(where);
        const uint32_t size = next(where);
        const uint8_t* bytes = takePadded(size, where);

        StateLocation location;
        const State* target = nullptr;
        if (owner == format::kNone) {
            if (item >= effect_.parameters.size())
                fail(where + ": parameter index " + num(item) + " but the effect has " +
                     num(effect_.parameters.size()) + " parameters");
            const Parameter& p = effect_.parameters[item];
            if (!isSampler(p.type))
                fail(where + ": " + describe("parameter", item, p.name) + " is " +
                     std::string(typeName(p.type)) + ", not a sampler");
            if (element != 0 && element != format::kNone)
                fail(where + ": element index " + num(element) +
                     " for a parameter that is not an array");
            if (stateIndex >= p.samplerStates.size())
                fail(where + ": state index " + num(stateIndex) + " but the sampler has " +
                     num(p.samplerStates.size()) + " states");
            location = {true, item, 0, stateIndex};
            target = &p.samplerStates[stateIndex];
        } else {
            if (owner >= effect_.techniques.size())
                fail(where + ": technique index " + num(owner) + " but the effect has " +
                     num(effect_.techniques.size()) + " techniques");
            const Technique& t = effect_.techniques[owner];
            if (item >= t.passes.size())
                fail(where + ": pass index " + num(item) + " but technique " + num(owner) +
                     " has " + num(t.passes.size()) + " passes");
            const Pass& p = t.passes[item];
            if (stateIndex >= p.states.size())
                fail(where + ": state index " + num(stateIndex) + " but pass " + num(item) +
                     " has " + num(p.states.size()) + " states");
            location = {false, owner, item, stateIndex};
            target = &p.states[stateIndex];
        }

        if (usage > format::kUsageArraySelector) fail(where + ": unknown usage " + num(usage));
        if (usage == format::kUsageArraySelector)
            fail(where + ": shader array selectors are not supported");
        const auto found = pendingIndex_.find(location.key());
        if (found == pendingIndex_.end())
            fail(where + ": state " + std::string(stateByIndex(target->operation)->name) +
                 " holds a plain value; computed or parameter-bound values are not supported");
        const PendingState& pending = pending_[found->second];
        ObjectSlot& slot = objects_.at(pending.objectId);

        if (usage == format::kUsageData) {
            if (slot.use != ObjectUse::Shader)
                fail(where + ": data for a texture state (" + pending.where + ")");
            fillShader(slot, pending.objectId, bytes, size, where);
            return;
        }
        if (slot.use != ObjectUse::TextureState)
            fail(where + ": shader states bound to a parameter are not supported (" +
                 pending.where + ")");
        const auto* chars = reinterpret_cast<const char*>(bytes);
        const void* nul = std::memchr(chars, 0, size);
        if (!nul) fail(where + ": parameter name has no NUL within its " + num(size) + " bytes");
        const std::string name(chars, static_cast<const char*>(nul));
        const auto parameter = effect_.findParameter(name);
        if (!parameter) fail(where + ": no parameter named '" + name + "'");
        const ParamType type = effect_.parameters[*parameter].type;
        if (!isTexture(type))
            fail(where + ": parameter '" + name + "' is " + std::string(typeName(type)) +
                 ", not a texture");
        if (slot.filled) fail(where + ": object id " + num(pending.objectId) + " is filled twice");
        slot.textureName = name;
        slot.filled = true;
    }

    State& stateAt(const StateLocation& l) {
        if (l.inSampler) return effect_.parameters[l.owner].samplerStates[l.state];
        return effect_.techniques[l.owner].passes[l.pass].states[l.state];
    }

    void resolvePending() {
        for (PendingState& pending : pending_) {
            ObjectSlot& slot = objects_.at(pending.objectId);
            State& st = stateAt(pending.location);
            if (slot.use == ObjectUse::Shader) {
                if (!slot.filled)
                    fail(pending.where + ": object id " + num(pending.objectId) +
                         " never receives shader code");
                st.value = ShaderCode{std::move(slot.code)};
            } else {
                if (!slot.filled)
                    fail(pending.where + ": object id " + num(pending.objectId) +
                         " is never bound to a texture parameter");
                st.value = TextureRef{slot.textureName};
            }
        }
    }

    const uint8_t* file_;
    size_t fileSize_;
    const uint8_t* base_ = nullptr; // start of the data area
    uint32_t dataSize_ = 0;
    size_t pos_ = 0; // file offset of the next structured DWORD
    uint32_t objectCount_ = 0;
    Effect effect_;
    std::unordered_map<uint32_t, ObjectSlot> objects_;
    std::set<uint32_t> objectDataSeen_;
    std::vector<PendingState> pending_;
    std::map<std::tuple<bool, uint32_t, uint32_t, uint32_t>, size_t> pendingIndex_;
};

} // namespace

Result<Effect> readEffect(const uint8_t* data, size_t size) {
    using R = Result<Effect>;
    if (!data && size != 0) return R::failure("no data");
    try {
        return R::success(Reader(data, size).run());
    } catch (const FormatError& e) {
        return R::failure(e.message);
    } catch (const std::bad_alloc&) {
        return R::failure("out of memory while reading the effect");
    } catch (const std::exception& e) {
        return R::failure(std::string("internal error while reading the effect: ") + e.what());
    }
}

} // namespace kestrin::fx
