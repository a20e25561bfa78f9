#include "fx/writer.h"

#include <algorithm>
#include <exception>
#include <new>
#include <set>
#include <string>

#include "fx/format.h"
#include "fx/states.h"

namespace kestrin::fx {
namespace {

struct WriteError {
    std::string message;
};

[[noreturn]] void fail(std::string message) {
    throw WriteError{std::move(message)};
}

// Appends bytes to a DWORD stream, little-endian, zero-padded to a whole DWORD.
void appendPadded(std::vector<uint32_t>& out, const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; i += 4) {
        uint32_t w = 0;
        for (size_t k = 0; k < 4 && i + k < size; ++k) w |= uint32_t{p[i + k]} << (8 * k);
        out.push_back(w);
    }
}

// A DWORD stream whose positions are byte offsets from its start.
class Area {
  public:
    uint32_t offset() const { return static_cast<uint32_t>(words_.size() * 4); }
    uint32_t put(uint32_t w) {
        const uint32_t at = offset();
        words_.push_back(w);
        return at;
    }
    void set(uint32_t byteOffset, uint32_t w) { words_[byteOffset / 4] = w; }
    // A string record: byte length including the NUL, then the bytes, padded to 4.
    uint32_t putString(std::string_view s) {
        const uint32_t at = put(static_cast<uint32_t>(s.size() + 1));
        std::string withNul(s);
        withNul.push_back('\0');
        appendPadded(words_, withNul.data(), withNul.size());
        return at;
    }
    const std::vector<uint32_t>& words() const { return words_; }
    std::vector<uint32_t>& words() { return words_; }

  private:
    std::vector<uint32_t> words_;
};

struct StateRecord {
    uint32_t operation, index, typedefOffset, valueOffset;
};

// One resource entry: 6 DWORDs of header, then the data padded to 4.
struct Resource {
    uint32_t owner;   // technique index, or kNone for a sampler parameter's state
    uint32_t item;    // pass index, or parameter index
    uint32_t element; // kNone for pass states, 0 for a (non-array) sampler
    uint32_t state;
    uint32_t usage;
    uint32_t byteSize;
    std::vector<uint32_t> data;
};

std::string describe(std::string_view what, size_t index, std::string_view name) {
    std::string s = std::string(what) + " " + std::to_string(index);
    if (!name.empty()) s += " (" + std::string(name) + ")";
    return s;
}

void checkName(std::string_view name, const std::string& where) {
    if (name.find('\0') != std::string_view::npos) fail(where + ": name contains a NUL character");
}

class Writer {
  public:
    explicit Writer(const Effect& effect) : effect_(effect) {}

    std::vector<uint8_t> run() {
        checkParameterNames();
        textureIds_.assign(effect_.parameters.size(), 0);
        data_.put(0); // offset 0: the empty string every absent name points at
        for (size_t i = 0; i < effect_.parameters.size(); ++i) writeParameter(i);
        for (size_t t = 0; t < effect_.techniques.size(); ++t) writeTechnique(t);
        if (data_.words().size() > 0x3FFFFFFF) fail("effect too large for a 32-bit data area");
        return assemble();
    }

  private:
    void checkParameterNames() {
        std::set<std::string_view> seen;
        for (size_t i = 0; i < effect_.parameters.size(); ++i) {
            const Parameter& p = effect_.parameters[i];
            const std::string where = describe("parameter", i, p.name);
            checkName(p.name, where);
            if (p.semantic) checkName(*p.semantic, where + " semantic");
            if (!p.name.empty() && !seen.insert(p.name).second)
                fail(where + ": another parameter has the same name");
        }
    }

    uint32_t putOptionalString(std::string_view s) { return s.empty() ? 0 : data_.putString(s); }

    // Typedef head; name and semantic offsets are patched once the strings are placed.
    uint32_t putTypedef(ParamType type, ParamClass cls, uint32_t elements) {
        const uint32_t at = data_.put(static_cast<uint32_t>(type));
        data_.put(static_cast<uint32_t>(cls));
        data_.put(0); // name
        data_.put(0); // semantic
        data_.put(elements);
        return at;
    }

    void writeParameter(size_t i) {
        const Parameter& p = effect_.parameters[i];
        const std::string where = describe("parameter", i, p.name);
        uint32_t typedefOffset = 0, valueOffset = 0;

        if (isNumeric(p.type)) {
            checkNumericShape(p, where);
            typedefOffset = putTypedef(p.type, p.cls, p.elements);
            // Vectors store columns first; scalars and matrices rows first.
            if (p.cls == ParamClass::Vector) {
                data_.put(p.columns);
                data_.put(p.rows);
            } else {
                data_.put(p.rows);
                data_.put(p.columns);
            }
            valueOffset = data_.offset();
            for (uint32_t w : p.value) data_.put(w);
        } else if (isTexture(p.type)) {
            checkObjectShape(p, where);
            if (!p.samplerStates.empty()) fail(where + ": a texture has no sampler states");
            typedefOffset = putTypedef(p.type, p.cls, 0);
            textureIds_[i] = nextId_;
            valueOffset = data_.put(nextId_++);
        } else if (isSampler(p.type)) {
            checkObjectShape(p, where);
            typedefOffset = putTypedef(p.type, p.cls, 0);
            std::vector<StateRecord> records;
            for (size_t s = 0; s < p.samplerStates.size(); ++s) {
                Resource owner{
                    format::kNone, static_cast<uint32_t>(i), 0, static_cast<uint32_t>(s), 0, 0, {}};
                records.push_back(writeStateValue(p.samplerStates[s], format::kSamplerStateIndex,
                                                  where + " state " + std::to_string(s), owner,
                                                  true));
            }
            valueOffset = data_.put(static_cast<uint32_t>(records.size()));
            for (const StateRecord& r : records) putRecord(data_, r);
            ++shaderCount_; // fxc counts each sampler element here
        } else {
            fail(where + ": parameters of type " + std::string(typeName(p.type)) +
                 " are not supported");
        }

        data_.set(typedefOffset + 8, putOptionalString(p.name));
        if (p.semantic) data_.set(typedefOffset + 12, data_.putString(*p.semantic));
        parameterRecords_.push_back({typedefOffset, valueOffset});
    }

    static void checkNumericShape(const Parameter& p, const std::string& where) {
        const bool numericClass = p.cls == ParamClass::Scalar || p.cls == ParamClass::Vector ||
                                  p.cls == ParamClass::MatrixRows ||
                                  p.cls == ParamClass::MatrixColumns;
        if (!numericClass)
            fail(where + ": class " + std::string(className(p.cls)) + " does not fit type " +
                 std::string(typeName(p.type)));
        if (p.rows < 1 || p.rows > 4 || p.columns < 1 || p.columns > 4)
            fail(where + ": " + std::to_string(p.rows) + "x" + std::to_string(p.columns) +
                 " is not a shape from 1x1 to 4x4");
        if (p.cls == ParamClass::Scalar && (p.rows != 1 || p.columns != 1))
            fail(where + ": a scalar must be 1x1");
        if (p.cls == ParamClass::Vector && p.rows != 1) fail(where + ": a vector has one row");
        if (p.value.size() != valueWordCount(p))
            fail(where + ": default has " + std::to_string(p.value.size()) + " words, expected " +
                 std::to_string(valueWordCount(p)));
        if (!p.samplerStates.empty()) fail(where + ": only samplers have sampler states");
    }

    static void checkObjectShape(const Parameter& p, const std::string& where) {
        if (p.cls != ParamClass::Object)
            fail(where + ": type " + std::string(typeName(p.type)) + " needs class OBJECT");
        if (p.elements != 0) fail(where + ": arrays of objects are not supported");
        if (!p.value.empty()) fail(where + ": an object parameter has no default value words");
    }

    // Places one state's value and typedef ({value, typedef}, as fxc orders them), hands out an
    // object id where the value is an object, and queues the resource that fills it.
    StateRecord writeStateValue(const State& s, uint32_t index, const std::string& where,
                                Resource owner, bool inSampler) {
        std::vector<Resource>& resources = inSampler ? samplerResources_ : passResources_;
        const StateInfo* info = stateByIndex(s.operation);
        if (!info)
            fail(where + ": operation " + std::to_string(s.operation) +
                 " outside the state table (0.." + std::to_string(state::Count - 1) + ")");
        const std::string named = where + " (" + std::string(info->name) + ")";
        const bool shaderState =
            info->kind == StateKind::VertexShader || info->kind == StateKind::PixelShader;
        StateRecord r{s.operation, index, 0, 0};

        if (const auto* lit = std::get_if<Literal>(&s.value)) {
            if (info->valueType == StateValueType::Object)
                fail(named + ": takes an object or NULL, not a number");
            if (!isNumeric(lit->type))
                fail(named + ": a literal must be INT, FLOAT or BOOL, not " +
                     std::string(typeName(lit->type)));
            r.valueOffset = data_.put(lit->word);
            r.typedefOffset = putLiteralTypedef(lit->type);
        } else if (std::holds_alternative<NullObject>(s.value)) {
            if (!shaderState && info->kind != StateKind::Texture)
                fail(named + ": NULL is only for shader and texture states");
            r.valueOffset = data_.put(0); // NULL is stored as the number 0
            r.typedefOffset = putLiteralTypedef(ParamType::Int);
        } else if (const auto* code = std::get_if<ShaderCode>(&s.value)) {
            if (!shaderState) fail(named + ": only VertexShader and PixelShader take shader code");
            if (inSampler) fail(named + ": shader code inside a sampler is not supported");
            if (code->words.empty()) fail(named + ": shader code is empty");
            if (code->words.size() > 0x3FFFFFFF) fail(named + ": shader code too large");
            const ParamType type = info->kind == StateKind::VertexShader ? ParamType::VertexShader
                                                                         : ParamType::PixelShader;
            r.valueOffset = data_.put(nextId_++);
            r.typedefOffset = putTypedef(type, ParamClass::Object, 0);
            owner.usage = format::kUsageData;
            owner.byteSize = static_cast<uint32_t>(code->words.size() * 4);
            owner.data = code->words;
            resources.push_back(std::move(owner));
            ++shaderCount_; // fxc counts each compiled shader a pass state holds
        } else {
            const auto& ref = std::get<TextureRef>(s.value);
            if (info->kind != StateKind::Texture) fail(named + ": only Texture takes <texture>");
            const auto target = effect_.findParameter(ref.parameter);
            if (!target) fail(named + ": no parameter named '" + ref.parameter + "'");
            const ParamType type = effect_.parameters[*target].type;
            if (!isTexture(type))
                fail(named + ": parameter '" + ref.parameter + "' is " +
                     std::string(typeName(type)) + ", not a texture");
            r.valueOffset = data_.put(nextId_++);
            r.typedefOffset = putTypedef(type, ParamClass::Object, 0);
            owner.usage = format::kUsageParameterName;
            owner.byteSize = static_cast<uint32_t>(ref.parameter.size() + 1);
            std::string withNul = ref.parameter;
            withNul.push_back('\0');
            appendPadded(owner.data, withNul.data(), withNul.size());
            resources.push_back(std::move(owner));
        }
        return r;
    }

    // Literal state values: type, MATRIX_ROWS, no name, no semantic, no elements, 1x1 (as fxc).
    uint32_t putLiteralTypedef(ParamType type) {
        const uint32_t at = putTypedef(type, ParamClass::MatrixRows, 0);
        data_.put(1);
        data_.put(1);
        return at;
    }

    static void putRecord(Area& area, const StateRecord& r) {
        area.put(r.operation);
        area.put(r.index);
        area.put(r.typedefOffset);
        area.put(r.valueOffset);
    }

    void writeTechnique(size_t t) {
        const Technique& tech = effect_.techniques[t];
        const std::string where = describe("technique", t, tech.name);
        checkName(tech.name, where);
        TechniqueRecord rec;
        for (size_t p = 0; p < tech.passes.size(); ++p) {
            const Pass& pass = tech.passes[p];
            const std::string passWhere = where + " " + describe("pass", p, pass.name);
            checkName(pass.name, passWhere);
            PassRecord pr;
            for (size_t s = 0; s < pass.states.size(); ++s) {
                Resource owner{static_cast<uint32_t>(t),
                               static_cast<uint32_t>(p),
                               format::kNone,
                               static_cast<uint32_t>(s),
                               0,
                               0,
                               {}};
                pr.states.push_back(writeStateValue(pass.states[s], pass.states[s].index,
                                                    passWhere + " state " + std::to_string(s),
                                                    owner, false));
            }
            pr.nameOffset = putOptionalString(pass.name);
            rec.passes.push_back(std::move(pr));
            ++shaderCount_; // fxc counts one per pass
        }
        rec.nameOffset = putOptionalString(tech.name);
        techniqueRecords_.push_back(std::move(rec));
    }

    std::vector<uint8_t> assemble() const {
        Area s;
        s.put(static_cast<uint32_t>(effect_.parameters.size()));
        s.put(static_cast<uint32_t>(effect_.techniques.size()));
        s.put(shaderCount_);
        s.put(nextId_); // object count: highest id + 1
        for (const auto& [typedefOffset, valueOffset] : parameterRecords_) {
            s.put(typedefOffset);
            s.put(valueOffset);
            s.put(0); // flags
            s.put(0); // annotations
        }
        for (const TechniqueRecord& t : techniqueRecords_) {
            s.put(t.nameOffset);
            s.put(0); // annotations
            s.put(static_cast<uint32_t>(t.passes.size()));
            for (const PassRecord& p : t.passes) {
                s.put(p.nameOffset);
                s.put(0); // annotations
                s.put(static_cast<uint32_t>(p.states.size()));
                for (const StateRecord& r : p.states) putRecord(s, r);
            }
        }

        // Object data: textures own an (empty) entry each, last parameter first.
        uint32_t textureCount = 0;
        for (uint32_t id : textureIds_) textureCount += id != 0;
        s.put(textureCount);
        s.put(static_cast<uint32_t>(passResources_.size() + samplerResources_.size()));
        for (size_t i = textureIds_.size(); i-- > 0;) {
            if (textureIds_[i] == 0) continue;
            s.put(textureIds_[i]);
            s.put(0);
        }
        // Resources in reverse traversal order: pass states (last technique, pass and state
        // first), then sampler states (last parameter first).
        for (auto it = passResources_.rbegin(); it != passResources_.rend(); ++it)
            putResource(s, *it);
        for (auto it = samplerResources_.rbegin(); it != samplerResources_.rend(); ++it)
            putResource(s, *it);

        const std::vector<uint32_t>& d = data_.words();
        const std::vector<uint32_t>& st = s.words();
        std::vector<uint8_t> out;
        out.reserve(format::kHeaderBytes + 4 * (d.size() + st.size()));
        auto emit = [&out](uint32_t w) {
            for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(w >> (8 * k)));
        };
        emit(format::kTag);
        emit(data_.offset());
        for (uint32_t w : d) emit(w);
        for (uint32_t w : st) emit(w);
        return out;
    }

    static void putResource(Area& s, const Resource& r) {
        s.put(r.owner);
        s.put(r.item);
        s.put(r.element);
        s.put(r.state);
        s.put(r.usage);
        s.put(r.byteSize);
        for (uint32_t w : r.data) s.put(w);
    }

    struct PassRecord {
        uint32_t nameOffset = 0;
        std::vector<StateRecord> states;
    };
    struct TechniqueRecord {
        uint32_t nameOffset = 0;
        std::vector<PassRecord> passes;
    };

    const Effect& effect_;
    Area data_;
    uint32_t nextId_ = 1; // id 0 is never handed out
    uint32_t shaderCount_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> parameterRecords_; // typedef, value offsets
    std::vector<uint32_t> textureIds_;                            // per parameter; 0 = none
    std::vector<TechniqueRecord> techniqueRecords_;
    std::vector<Resource> samplerResources_; // traversal order
    std::vector<Resource> passResources_;    // traversal order
};

} // namespace

Result<std::vector<uint8_t>> writeEffect(const Effect& effect) {
    using R = Result<std::vector<uint8_t>>;
    try {
        return R::success(Writer(effect).run());
    } catch (const WriteError& e) {
        return R::failure(e.message);
    } catch (const std::bad_alloc&) {
        return R::failure("out of memory while writing the effect");
    } catch (const std::exception& e) {
        return R::failure(std::string("internal error while writing the effect: ") + e.what());
    }
}

} // namespace kestrin::fx
