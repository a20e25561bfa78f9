#include "tools/fx_source.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "fx/states.h"
#include "shader/assembler.h"
#include "shader/bytecode.h"
#include "shader/validator.h"

namespace kestrin::tools {
namespace {

// ---- Scanning --------------------------------------------------------------------------------

struct Token {
    enum Kind { End, Identifier, Number, Punct } kind = End;
    std::string text;
    int line = 0;
};

class Scanner {
  public:
    explicit Scanner(std::string_view text) : text_(text) {}

    Token next() {
        skipSpaceAndComments();
        Token t;
        t.line = line_;
        if (pos_ >= text_.size()) return t;
        const char c = text_[pos_];
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            const size_t start = pos_;
            while (pos_ < text_.size() &&
                   (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
                ++pos_;
            t.kind = Token::Identifier;
            t.text = std::string(text_.substr(start, pos_ - start));
        } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                   (c == '.' && pos_ + 1 < text_.size() &&
                    std::isdigit(static_cast<unsigned char>(text_[pos_ + 1])))) {
            const size_t start = pos_;
            while (pos_ < text_.size() &&
                   (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.' ||
                    ((text_[pos_] == '+' || text_[pos_] == '-') &&
                     (text_[pos_ - 1] == 'e' || text_[pos_ - 1] == 'E'))))
                ++pos_;
            t.kind = Token::Number;
            t.text = std::string(text_.substr(start, pos_ - start));
        } else {
            t.kind = Token::Punct;
            t.text = std::string(1, c);
            ++pos_;
        }
        return t;
    }

    // The raw text up to the next '}' (not included; consumed), and the line it starts on.
    bool rawBlock(std::string& out, int& firstLine) {
        firstLine = line_;
        const size_t close = text_.find('}', pos_);
        if (close == std::string_view::npos) return false;
        out = std::string(text_.substr(pos_, close - pos_));
        for (char ch : out)
            if (ch == '\n') ++line_;
        pos_ = close + 1;
        return true;
    }

  private:
    void skipSpaceAndComments() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++pos_;
            } else if (text_.substr(pos_, 2) == "//") {
                while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
            } else if (text_.substr(pos_, 2) == "/*") {
                const size_t end = text_.find("*/", pos_ + 2);
                const size_t stop = end == std::string_view::npos ? text_.size() : end + 2;
                for (size_t i = pos_; i < stop; ++i)
                    if (text_[i] == '\n') ++line_;
                pos_ = stop;
            } else {
                return;
            }
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
};

// ---- What the source declares ----------------------------------------------------------------

struct StateSource {
    const fx::StateInfo* info = nullptr;
    fx::StateValue value;
    std::string program; // PixelShader = (name): resolved after parsing
    int line = 0;
};

struct Global {
    fx::Parameter param;
    int line = 0;
    int reg = -1;     // first c# or s#, -1 when unbound
    int regCount = 0; // registers the global occupies
    bool rowMajor = false;
    std::vector<StateSource> samplerStates;
};

struct ProgramSource {
    std::string name;
    std::string text;
    int line = 0;
};

struct PassSource {
    std::string name;
    std::vector<StateSource> states;
};

struct TechniqueSource {
    std::string name;
    std::vector<PassSource> passes;
};

// ---- Parsing ---------------------------------------------------------------------------------

class Parser {
  public:
    Parser(std::string_view text, std::string_view file) : scan_(text), file_(file) { advance(); }

    void parse() {
        while (tok_.kind != Token::End && errors.empty()) {
            if (isWord("texture") || isWord("texture2D") || isWord("Texture2D")) {
                parseTexture();
            } else if (isWord("sampler") || isWord("sampler2D")) {
                parseSampler();
            } else if (isWord("PixelShader")) {
                parseProgram();
            } else if (isWord("technique")) {
                parseTechnique();
            } else if (isWord("row_major") || isWord("column_major") || isWord("float") ||
                       tok_.text.starts_with("float")) {
                parseNumeric();
            } else {
                fail(tok_.line, "unexpected '" + tok_.text + "'");
            }
        }
    }

    std::vector<Global> globals;
    std::vector<ProgramSource> programs;
    std::vector<TechniqueSource> techniques;
    std::vector<std::string> errors;

    void fail(int line, const std::string& message) {
        errors.push_back(std::string(file_) + ":" + std::to_string(line) + ": " + message);
    }

  private:
    void advance() { tok_ = scan_.next(); }
    bool isWord(std::string_view w) const {
        return tok_.kind == Token::Identifier && tok_.text == w;
    }
    bool isPunct(char c) const { return tok_.kind == Token::Punct && tok_.text[0] == c; }

    bool expectPunct(char c) {
        if (!isPunct(c)) {
            fail(tok_.line, std::string("expected '") + c + "' before '" + tok_.text + "'");
            return false;
        }
        advance();
        return true;
    }

    bool expectIdentifier(std::string& out) {
        if (tok_.kind != Token::Identifier) {
            fail(tok_.line, "expected a name before '" + tok_.text + "'");
            return false;
        }
        out = tok_.text;
        advance();
        return true;
    }

    bool declareName(const std::string& name, int line) {
        if (!names_.insert(name).second) {
            fail(line, "'" + name + "' is declared twice");
            return false;
        }
        return true;
    }

    // Optional ": register(xN)" binding.
    bool parseRegister(char kind, int& reg) {
        if (!isPunct(':')) return true;
        advance();
        if (!isWord("register")) {
            fail(tok_.line, "only register bindings may follow ':'");
            return false;
        }
        advance();
        if (!expectPunct('(')) return false;
        const int line = tok_.line;
        if (tok_.kind != Token::Identifier || tok_.text.size() < 2 || tok_.text[0] != kind) {
            fail(line, std::string("expected a register ") + kind + "N");
            return false;
        }
        int value = -1;
        const auto [end, ec] =
            std::from_chars(tok_.text.data() + 1, tok_.text.data() + tok_.text.size(), value);
        if (ec != std::errc() || end != tok_.text.data() + tok_.text.size() || value < 0) {
            fail(line, "bad register '" + tok_.text + "'");
            return false;
        }
        reg = value;
        advance();
        return expectPunct(')');
    }

    // A signed decimal number as a float's bits.
    bool parseFloat(uint32_t& bits) {
        bool negative = false;
        if (isPunct('-') || isPunct('+')) {
            negative = isPunct('-');
            advance();
        }
        if (tok_.kind != Token::Number) {
            fail(tok_.line, "expected a number before '" + tok_.text + "'");
            return false;
        }
        std::string text = tok_.text;
        if (!text.empty() && (text.back() == 'f' || text.back() == 'F')) text.pop_back();
        char* end = nullptr;
        const float v = std::strtof(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0') {
            fail(tok_.line, "bad number '" + tok_.text + "'");
            return false;
        }
        bits = std::bit_cast<uint32_t>(negative ? -v : v);
        advance();
        return true;
    }

    void parseTexture() {
        const bool twoD = tok_.text != "texture";
        advance();
        Global g;
        g.line = tok_.line;
        if (!expectIdentifier(g.param.name) || !declareName(g.param.name, g.line)) return;
        g.param.type = twoD ? fx::ParamType::Texture2D : fx::ParamType::Texture;
        g.param.cls = fx::ParamClass::Object;
        g.param.rows = g.param.columns = 0;
        if (!expectPunct(';')) return;
        globals.push_back(std::move(g));
    }

    void parseSampler() {
        advance();
        Global g;
        g.line = tok_.line;
        if (!expectIdentifier(g.param.name) || !declareName(g.param.name, g.line)) return;
        g.param.type = fx::ParamType::Sampler;
        g.param.cls = fx::ParamClass::Object;
        g.param.rows = g.param.columns = 0;
        g.regCount = 1;
        if (!parseRegister('s', g.reg) || !expectPunct('=')) return;
        if (!isWord("sampler_state")) {
            fail(tok_.line, "a sampler is initialised with sampler_state { ... }");
            return;
        }
        advance();
        if (!expectPunct('{')) return;
        while (!isPunct('}') && tok_.kind != Token::End && errors.empty()) {
            StateSource s;
            if (!parseState(s, true)) return;
            g.samplerStates.push_back(std::move(s));
        }
        if (!expectPunct('}') || !expectPunct(';')) return;
        globals.push_back(std::move(g));
    }

    void parseNumeric() {
        Global g;
        if (isWord("row_major") || isWord("column_major")) {
            g.rowMajor = tok_.text == "row_major";
            advance();
        }
        const int line = tok_.line;
        const std::string type = tok_.text;
        unsigned rows = 1, columns = 1;
        if (type == "float") {
            g.param.cls = fx::ParamClass::Scalar;
        } else if (type.size() == 6 && type[5] >= '2' && type[5] <= '4') {
            g.param.cls = fx::ParamClass::Vector;
            columns = static_cast<unsigned>(type[5] - '0');
        } else if (type.size() == 8 && type[5] >= '1' && type[5] <= '4' && type[6] == 'x' &&
                   type[7] >= '1' && type[7] <= '4') {
            g.param.cls = fx::ParamClass::MatrixRows;
            rows = static_cast<unsigned>(type[5] - '0');
            columns = static_cast<unsigned>(type[7] - '0');
        } else {
            fail(line, "unsupported type '" + type + "'");
            return;
        }
        advance();
        g.param.type = fx::ParamType::Float;
        g.param.rows = rows;
        g.param.columns = columns;
        g.line = tok_.line;
        if (!expectIdentifier(g.param.name) || !declareName(g.param.name, g.line)) return;
        g.regCount = g.param.cls == fx::ParamClass::MatrixRows
                         ? static_cast<int>(g.rowMajor ? rows : columns)
                         : 1;
        if (!parseRegister('c', g.reg)) return;
        g.param.value.assign(rows * columns, 0u);
        if (isPunct('=')) {
            advance();
            std::vector<uint32_t> values;
            const int initLine = tok_.line;
            if (isPunct('{')) {
                advance();
                while (!isPunct('}')) {
                    uint32_t bits = 0;
                    if (!parseFloat(bits)) return;
                    values.push_back(bits);
                    if (isPunct(','))
                        advance();
                    else if (!isPunct('}')) {
                        fail(tok_.line, "expected ',' or '}' in an initialiser");
                        return;
                    }
                }
                advance();
            } else {
                uint32_t bits = 0;
                if (!parseFloat(bits)) return;
                values.push_back(bits);
            }
            if (values.size() != g.param.value.size()) {
                fail(initLine, "'" + g.param.name + "' takes " +
                                   std::to_string(g.param.value.size()) + " values, not " +
                                   std::to_string(values.size()));
                return;
            }
            g.param.value = std::move(values);
        }
        if (!expectPunct(';')) return;
        globals.push_back(std::move(g));
    }

    void parseProgram() {
        advance();
        ProgramSource p;
        p.line = tok_.line;
        if (!expectIdentifier(p.name) || !declareName(p.name, p.line) || !expectPunct('=')) return;
        if (!isWord("asm")) {
            fail(tok_.line, "programs are written as asm { ... }");
            return;
        }
        // The block is taken verbatim, so read it straight from the scanner.
        if (!(tok_ = scan_.next(), isPunct('{'))) {
            fail(tok_.line, "expected '{' after asm");
            return;
        }
        if (!scan_.rawBlock(p.text, p.line)) {
            fail(p.line, "asm block is not closed");
            return;
        }
        advance();
        if (!expectPunct(';')) return;
        programs.push_back(std::move(p));
    }

    void parseTechnique() {
        advance();
        TechniqueSource t;
        const int line = tok_.line;
        if (!expectIdentifier(t.name) || !declareName(t.name, line) || !expectPunct('{')) return;
        while (isWord("pass") && errors.empty()) {
            advance();
            PassSource p;
            if (!expectIdentifier(p.name) || !expectPunct('{')) return;
            while (!isPunct('}') && tok_.kind != Token::End && errors.empty()) {
                StateSource s;
                if (!parseState(s, false)) return;
                p.states.push_back(std::move(s));
            }
            if (!expectPunct('}')) return;
            t.passes.push_back(std::move(p));
        }
        if (!expectPunct('}')) return;
        if (isPunct(';')) advance();
        techniques.push_back(std::move(t));
    }

    // State = value;
    bool parseState(StateSource& s, bool inSampler) {
        s.line = tok_.line;
        std::string name;
        if (!expectIdentifier(name)) return false;
        s.info = fx::stateByName(name);
        if (!s.info) {
            fail(s.line, "unknown state '" + name + "'");
            return false;
        }
        const bool samplerState =
            s.info->kind == fx::StateKind::Sampler || s.info->kind == fx::StateKind::Texture;
        if (samplerState != inSampler) {
            fail(s.line,
                 "'" + name +
                     (inSampler ? "' is not a sampler state" : "' belongs in a sampler_state"));
            return false;
        }
        if (!expectPunct('=')) return false;
        const bool isShader = s.info->kind == fx::StateKind::PixelShader ||
                              s.info->kind == fx::StateKind::VertexShader;
        if (isPunct('<')) {
            advance();
            std::string ref;
            if (!expectIdentifier(ref) || !expectPunct('>')) return false;
            if (s.info->kind != fx::StateKind::Texture) {
                fail(s.line, "only Texture takes a <texture> reference");
                return false;
            }
            s.value = fx::TextureRef{ref};
        } else if (isPunct('(') && isShader) {
            advance();
            if (!expectIdentifier(s.program) || !expectPunct(')')) return false;
        } else if (tok_.kind == Token::Identifier) {
            if (tok_.text == "NULL" || tok_.text == "null") {
                if (s.info->valueType != fx::StateValueType::Object) {
                    fail(s.line, "'" + name + "' cannot be NULL");
                    return false;
                }
                s.value = fx::NullObject{};
            } else if (isShader) {
                s.program = tok_.text;
            } else if (auto v = fx::namedValue(*s.info, tok_.text)) {
                s.value = fx::intValue(*v);
            } else {
                fail(s.line, "'" + tok_.text + "' is not a value of " + name);
                return false;
            }
            advance();
        } else {
            uint32_t bits = 0;
            const bool negative = isPunct('-');
            if (s.info->valueType == fx::StateValueType::Float) {
                if (!parseFloat(bits)) return false;
                s.value = fx::Literal{fx::ParamType::Float, bits};
            } else {
                if (negative) advance();
                long long v = 0;
                const auto [end, ec] =
                    std::from_chars(tok_.text.data(), tok_.text.data() + tok_.text.size(), v);
                if (tok_.kind != Token::Number || ec != std::errc() ||
                    end != tok_.text.data() + tok_.text.size()) {
                    fail(s.line, "bad value '" + tok_.text + "' for " + name);
                    return false;
                }
                advance();
                s.value = fx::intValue(static_cast<uint32_t>(negative ? -v : v));
            }
        }
        return expectPunct(';');
    }

    Scanner scan_;
    std::string_view file_;
    Token tok_;
    std::set<std::string> names_;
};

// ---- Building ------------------------------------------------------------------------------

shader::CtabEntry ctabFor(const Global& g) {
    const auto reg = static_cast<uint16_t>(g.reg);
    if (fx::isSampler(g.param.type)) return shader::ctabSampler2D(g.param.name, reg);
    if (g.param.cls == fx::ParamClass::Scalar) return shader::ctabScalar(g.param.name, reg);
    if (g.param.cls == fx::ParamClass::Vector)
        return shader::ctabVector(g.param.name, reg, static_cast<uint16_t>(g.param.columns));
    shader::CtabEntry e =
        shader::ctabMatrixColumns(g.param.name, reg, static_cast<uint16_t>(g.param.rows),
                                  static_cast<uint16_t>(g.param.columns));
    if (g.rowMajor) {
        e.type.cls = shader::ParamClass::MatrixRows;
        e.count = static_cast<uint16_t>(g.param.rows);
    }
    return e;
}

class Builder {
  public:
    Builder(Parser& parser, std::string_view file) : p_(parser), file_(file) {}

    fx::Effect build() {
        checkBindings();
        for (const ProgramSource& prog : p_.programs) assembleProgram(prog);
        fx::Effect effect;
        for (const Global& g : p_.globals) {
            fx::Parameter param = g.param;
            for (const StateSource& s : g.samplerStates) {
                if (const auto* ref = std::get_if<fx::TextureRef>(&s.value)) {
                    auto target =
                        std::find_if(p_.globals.begin(), p_.globals.end(), [&](const Global& t) {
                            return t.param.name == ref->parameter;
                        });
                    if (target == p_.globals.end() || !fx::isTexture(target->param.type))
                        p_.fail(s.line, "'" + ref->parameter + "' is not a texture");
                }
                param.samplerStates.push_back({s.info->index, 0, s.value});
            }
            effect.parameters.push_back(std::move(param));
        }
        for (const TechniqueSource& t : p_.techniques) {
            fx::Technique technique{t.name, {}};
            for (const PassSource& ps : t.passes) {
                fx::Pass pass{ps.name, {}};
                for (const StateSource& s : ps.states)
                    pass.states.push_back({s.info->index, 0, resolve(s)});
                technique.passes.push_back(std::move(pass));
            }
            effect.techniques.push_back(std::move(technique));
        }
        return effect;
    }

  private:
    fx::StateValue resolve(const StateSource& s) {
        if (s.program.empty()) return s.value;
        auto it = code_.find(s.program);
        if (it == code_.end()) {
            p_.fail(s.line, "no program named '" + s.program + "'");
            return fx::NullObject{};
        }
        return fx::ShaderCode{it->second};
    }

    // No two globals may share a register: a program's reads must name one global each.
    void checkBindings() {
        for (size_t i = 0; i < p_.globals.size(); ++i) {
            const Global& a = p_.globals[i];
            if (a.reg < 0) continue;
            for (size_t j = 0; j < i; ++j) {
                const Global& b = p_.globals[j];
                if (b.reg < 0 || fx::isSampler(a.param.type) != fx::isSampler(b.param.type))
                    continue;
                if (a.reg < b.reg + b.regCount && b.reg < a.reg + a.regCount)
                    p_.fail(a.line, "'" + a.param.name + "' overlaps the registers of '" +
                                        b.param.name + "'");
            }
        }
    }

    const Global* globalAt(bool sampler, uint32_t reg) const {
        for (const Global& g : p_.globals) {
            if (g.reg < 0 || fx::isSampler(g.param.type) != sampler) continue;
            if (static_cast<int>(reg) >= g.reg && static_cast<int>(reg) < g.reg + g.regCount)
                return &g;
        }
        return nullptr;
    }

    void report(const std::vector<shader::Diagnostic>& list, int fallbackLine) {
        for (const shader::Diagnostic& d : list)
            p_.fail(d.line > 0 ? d.line : fallbackLine, d.message);
    }

    void assembleProgram(const ProgramSource& prog) {
        // First pass: which registers does the program read?
        shader::AssembleResult first = shader::assemble(prog.text, prog.line, {});
        if (!first.ok()) return report(first.errors, prog.line);
        shader::DecodeResult decoded = shader::decode(first.tokens.data(), first.tokens.size());
        if (!decoded.ok()) return p_.fail(prog.line, "'" + prog.name + "': " + decoded.error);

        std::set<uint32_t> defined;
        for (size_t i = 0; i < decoded.program.instructions.size(); ++i) {
            const auto& ins = decoded.program.instructions[i];
            if (ins.opcode != shader::Opcode::Def) continue;
            defined.insert(ins.dst.index);
            // A literal in a global's register would hide the global's value from this program.
            if (const Global* g = globalAt(false, ins.dst.index))
                p_.fail(i < first.lines.size() ? first.lines[i] : prog.line,
                        "def c" + std::to_string(ins.dst.index) + " uses a register of '" +
                            g->param.name + "'");
        }
        std::vector<const Global*> used;
        auto use = [&](const Global* g) {
            if (std::find(used.begin(), used.end(), g) == used.end()) used.push_back(g);
        };
        for (size_t i = 0; i < decoded.program.instructions.size(); ++i) {
            const auto& ins = decoded.program.instructions[i];
            const int line = i < first.lines.size() ? first.lines[i] : prog.line;
            if (ins.opcode == shader::Opcode::Dcl && ins.dst.type == shader::RegType::Sampler) {
                if (const Global* g = globalAt(true, ins.dst.index))
                    use(g);
                else
                    p_.fail(line, "s" + std::to_string(ins.dst.index) + " is bound to no sampler");
            }
            for (unsigned k = 0; k < ins.sourceCount; ++k) {
                const auto& s = ins.src[k];
                if (s.type != shader::RegType::Const || defined.count(s.index)) continue;
                if (const Global* g = globalAt(false, s.index))
                    use(g);
                else
                    p_.fail(line, "c" + std::to_string(s.index) +
                                      " is neither a global's register nor defined");
            }
        }
        std::vector<shader::CtabEntry> entries;
        for (const Global* g : used) entries.push_back(ctabFor(*g));

        shader::AssembleResult final = shader::assemble(prog.text, prog.line, entries);
        if (!final.ok()) return report(final.errors, prog.line);
        shader::DecodeResult check = shader::decode(final.tokens.data(), final.tokens.size());
        if (!check.ok()) return p_.fail(prog.line, "'" + prog.name + "': " + check.error);
        report(shader::validate(check.program, entries, final.lines), prog.line);
        code_[prog.name] = std::move(final.tokens);
    }

    Parser& p_;
    std::string_view file_;
    std::map<std::string, std::vector<uint32_t>> code_;
};

} // namespace

CompiledSource compileEffectSource(std::string_view text, std::string_view fileName) {
    CompiledSource out;
    Parser parser(text, fileName);
    parser.parse();
    if (parser.errors.empty()) {
        Builder builder(parser, fileName);
        out.effect = builder.build();
    }
    out.errors = std::move(parser.errors);
    return out;
}

} // namespace kestrin::tools
