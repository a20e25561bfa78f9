#include "platform/d3dx9/effect_layout.h"

#include <new>
#include <variant>

#include "fx/states.h"
#include "shader/bytecode.h"

namespace kestrin::platform::d3dx9 {
namespace {

using fx::StateKind;

// Register ranges of shader model 3.
struct RegisterLimits {
    uint32_t floats, ints, bools, samplers;
};
constexpr RegisterLimits kPixelLimits{224, 16, 16, 16};
constexpr RegisterLimits kVertexLimits{256, 16, 16, 4};

struct LayoutFailure {
    LayoutError error;
    std::string message;
};

[[noreturn]] void fail(LayoutError error, std::string message) {
    throw LayoutFailure{error, std::move(message)};
}

std::string quoted(const std::string& name) {
    return "'" + name + "'";
}

class Builder {
  public:
    explicit Builder(fx::Effect effect) : layout_(std::make_unique<EffectLayout>()) {
        layout_->effect = std::move(effect);
    }

    std::unique_ptr<EffectLayout> run() {
        const fx::Effect& e = layout_->effect;
        layout_->samplerStates.resize(e.parameters.size());
        for (size_t i = 0; i < e.parameters.size(); ++i)
            if (fx::isSampler(e.parameters[i].type)) samplerParameter(i);
        for (size_t t = 0; t < e.techniques.size(); ++t) {
            TechniqueLayout technique;
            for (size_t p = 0; p < e.techniques[t].passes.size(); ++p) {
                const std::string where = "technique " + quoted(e.techniques[t].name) + " pass " +
                                          quoted(e.techniques[t].passes[p].name);
                technique.passes.push_back(pass(e.techniques[t].passes[p], where));
                addFootprint(technique.passes.back(), technique.footprint);
            }
            layout_->techniques.push_back(std::move(technique));
        }
        return std::move(layout_);
    }

  private:
    void samplerParameter(size_t index) {
        const fx::Parameter& p = layout_->effect.parameters[index];
        const std::string where = "sampler " + quoted(p.name);
        for (const fx::State& s : p.samplerStates) {
            const fx::StateInfo* info = fx::stateByIndex(s.operation);
            if (!info) fail(LayoutError::InvalidData, where + ": unknown state");
            StateAction a;
            if (info->kind == StateKind::Sampler) {
                a.kind = ActionKind::SamplerState;
                a.number = info->d3dNumber;
                a.value = literal(s, where, *info);
            } else if (info->kind == StateKind::Texture) {
                a.kind = ActionKind::Texture;
                a.texture = textureParameter(s, where);
            } else {
                fail(LayoutError::Unsupported,
                     where + ": state " + std::string(info->name) + " has no meaning in a sampler");
            }
            layout_->samplerStates[index].push_back(a);
        }
    }

    PassLayout pass(const fx::Pass& pass, const std::string& where) {
        PassLayout out;
        for (const fx::State& s : pass.states) {
            const fx::StateInfo* info = fx::stateByIndex(s.operation);
            if (!info) fail(LayoutError::InvalidData, where + ": unknown state");
            const std::string named = where + " state " + std::string(info->name);
            StateAction a;
            a.stage = s.index;
            a.number = info->d3dNumber;
            switch (info->kind) {
            case StateKind::Render:
                a.kind = ActionKind::RenderState;
                a.stage = 0;
                a.value = literal(s, named, *info);
                break;
            case StateKind::TextureStage:
                a.kind = ActionKind::TextureStageState;
                a.value = literal(s, named, *info);
                break;
            case StateKind::Sampler:
                a.kind = ActionKind::SamplerState;
                a.value = literal(s, named, *info);
                break;
            case StateKind::Texture:
                a.kind = ActionKind::Texture;
                a.number = 0;
                a.texture = textureParameter(s, named);
                break;
            case StateKind::VertexShader:
            case StateKind::PixelShader: {
                const bool pixel = info->kind == StateKind::PixelShader;
                a.kind = pixel ? ActionKind::PixelShader : ActionKind::VertexShader;
                a.stage = 0;
                a.number = 0;
                a.program = program(s, pixel ? ProgramKind::Pixel : ProgramKind::Vertex, named);
                break;
            }
            case StateKind::Other:
                fail(LayoutError::Unsupported,
                     named + ": this effect runtime does not apply the state");
            }
            out.actions.push_back(a);
        }
        return out;
    }

    static uint32_t literal(const fx::State& s, const std::string& where,
                            const fx::StateInfo& info) {
        const auto* value = std::get_if<fx::Literal>(&s.value);
        if (!value)
            fail(LayoutError::InvalidData,
                 where + ": state " + std::string(info.name) + " takes a number");
        return value->word;
    }

    int textureParameter(const fx::State& s, const std::string& where) const {
        if (std::holds_alternative<fx::NullObject>(s.value)) return -1;
        const auto* ref = std::get_if<fx::TextureRef>(&s.value);
        if (!ref) fail(LayoutError::InvalidData, where + ": Texture takes a texture parameter");
        const auto index = layout_->effect.findParameter(ref->parameter);
        if (!index || !fx::isTexture(layout_->effect.parameters[*index].type))
            fail(LayoutError::InvalidData,
                 where + ": " + quoted(ref->parameter) + " is not a texture parameter");
        return static_cast<int>(*index);
    }

    int program(const fx::State& s, ProgramKind kind, const std::string& where) {
        if (std::holds_alternative<fx::NullObject>(s.value)) return -1;
        const auto* code = std::get_if<fx::ShaderCode>(&s.value);
        if (!code) fail(LayoutError::InvalidData, where + ": takes shader code or NULL");
        ProgramLayout program;
        program.kind = kind;
        program.code = code->words;
        bindConstants(program, where);
        layout_->programs.push_back(std::move(program));
        return static_cast<int>(layout_->programs.size() - 1);
    }

    void bindConstants(ProgramLayout& program, const std::string& where) {
        const std::vector<uint32_t>& code = program.code;
        shader::Comment comment;
        // A program without a constant table takes no parameters.
        if (!shader::findComment(code.data(), code.size(), shader::token::kCtab, comment)) return;
        const shader::CtabReadResult ctab =
            shader::readCtab(code.data() + comment.offset, comment.dwords);
        if (!ctab.ok()) fail(LayoutError::InvalidData, where + ": " + ctab.error);
        const RegisterLimits& limits =
            program.kind == ProgramKind::Pixel ? kPixelLimits : kVertexLimits;
        for (const shader::CtabEntry& entry : ctab.table.entries) {
            const auto index = layout_->effect.findParameter(entry.name);
            if (!index) continue; // D3DX skips names it does not know
            bindEntry(program, entry, *index, limits, where + ": constant " + quoted(entry.name));
        }
    }

    void bindEntry(ProgramLayout& program, const shader::CtabEntry& entry, size_t index,
                   const RegisterLimits& limits, const std::string& where) {
        const fx::Parameter& p = layout_->effect.parameters[index];
        const uint32_t first = entry.index;
        const uint32_t count = entry.count;
        const uint32_t elements = p.elements == 0 ? 1 : p.elements;
        const bool samplerEntry = entry.set == shader::RegisterSet::Sampler ||
                                  entry.type.cls == shader::ParamClass::Object;
        if (samplerEntry) {
            if (entry.set != shader::RegisterSet::Sampler || !fx::isSampler(p.type))
                fail(LayoutError::InvalidCall,
                     where + " is a sampler register but names a parameter that is not a sampler");
            if (count > elements)
                fail(LayoutError::InvalidCall, where + " claims " + std::to_string(count) +
                                                   " samplers for " + std::to_string(elements));
            if (uint64_t{first} + count > limits.samplers)
                fail(LayoutError::InvalidCall, where + " lies outside the sampler range");
            const uint32_t base = program.kind == ProgramKind::Vertex ? kVertexSamplerBase : 0;
            for (uint32_t k = 0; k < count; ++k)
                program.samplers.push_back({index, base + first + k});
            return;
        }
        if (!fx::isNumeric(p.type))
            fail(LayoutError::InvalidCall, where + " is a numeric register but names a " +
                                               std::string(fx::typeName(p.type)) + " parameter");
        const uint32_t entryElements = entry.type.elements == 0 ? 1 : entry.type.elements;
        if (entryElements != elements)
            fail(LayoutError::InvalidCall, where + " has " + std::to_string(entryElements) +
                                               " elements, the parameter " +
                                               std::to_string(elements));
        const uint64_t filled = registersFilled(p, entry.set, entry.type.cls);
        if (count > filled)
            fail(LayoutError::InvalidCall, where + " claims " + std::to_string(count) +
                                               " registers, but the parameter " + "fills at most " +
                                               std::to_string(filled));
        const uint32_t limit = entry.set == shader::RegisterSet::Float4 ? limits.floats
                               : entry.set == shader::RegisterSet::Int4 ? limits.ints
                                                                        : limits.bools;
        if (uint64_t{first} + count > limit)
            fail(LayoutError::InvalidCall, where + " lies outside the register range");
        program.constants.push_back({index, entry.set, first, count, entry.type.cls});
    }

    void addFootprint(const PassLayout& pass, StateFootprint& f) const {
        for (const StateAction& a : pass.actions) {
            switch (a.kind) {
            case ActionKind::VertexShader:
            case ActionKind::PixelShader:
                (a.kind == ActionKind::PixelShader ? f.pixelShader : f.vertexShader) = true;
                if (a.program >= 0) addProgram(layout_->programs[size_t(a.program)], f);
                break;
            case ActionKind::RenderState:
                f.renderStates.insert(a.number);
                break;
            case ActionKind::TextureStageState:
                f.textureStageStates.insert({a.stage, a.number});
                break;
            case ActionKind::SamplerState:
                f.samplerStates.insert({a.stage, a.number});
                break;
            case ActionKind::Texture:
                f.textures.insert(a.stage);
                break;
            }
        }
    }

    void addProgram(const ProgramLayout& program, StateFootprint& f) const {
        if (program.kind == ProgramKind::Pixel) {
            for (const ConstantBinding& c : program.constants) {
                std::set<uint32_t>& registers = c.set == shader::RegisterSet::Float4 ? f.pixelFloat
                                                : c.set == shader::RegisterSet::Int4 ? f.pixelInt
                                                                                     : f.pixelBool;
                for (uint32_t r = 0; r < c.registerCount; ++r)
                    registers.insert(c.firstRegister + r);
            }
        }
        for (const SamplerBinding& s : program.samplers) {
            for (const StateAction& a : layout_->samplerStates[s.parameter]) {
                if (a.kind == ActionKind::Texture)
                    f.textures.insert(s.stage);
                else
                    f.samplerStates.insert({s.stage, a.number});
            }
        }
    }

    std::unique_ptr<EffectLayout> layout_;
};

} // namespace

LayoutResult buildLayout(fx::Effect effect) {
    LayoutResult result;
    try {
        result.layout = Builder(std::move(effect)).run();
    } catch (const LayoutFailure& f) {
        result.error = f.error;
        result.message = f.message;
    } catch (const std::bad_alloc&) {
        result.error = LayoutError::OutOfMemory;
        result.message = "out of memory while laying out the effect";
    } catch (const std::exception& e) {
        result.error = LayoutError::OutOfMemory;
        result.message = std::string("effect layout failed: ") + e.what();
    }
    return result;
}

} // namespace kestrin::platform::d3dx9
