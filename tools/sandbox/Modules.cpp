// Modules: EXEC of procedures and dynamic SQL, stored procedures and scalar functions run from their
// source, and the remote procedure calls of the wire (sp_executesql, sp_prepare, sp_execute, ...).
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

void Session::ExecExec(const std::vector<Token>& t, int line) {
    size_t i = 1;
    if (i < t.size() && t[i].IsOp("(")) {
        // EXEC ('...' + @x)
        const size_t close = MatchParen(t, i);
        const SqlValue sql = Eval(std::vector<Token>(t.begin() + 2, t.begin() + static_cast<std::ptrdiff_t>(close)), line);
        RunText(sql.AsText(), {}, line);
        return;
    }
    if (ExecSystemProcedure(t, line)) return;
    std::string resultVar;
    if (i + 2 < t.size() && t[i].kind == Token::Variable && t[i + 1].IsOp("=")) {
        resultVar = t[i].value;
        i += 2;
    }
    if (i >= t.size()) throw SqlError{102, 15, 1, "Incorrect syntax near 'EXEC'.", line, "", true};
    // Procedure name, possibly db.dbo.name.
    std::string name = NameOf(t[i]);
    ++i;
    while (i + 1 < t.size() && t[i].IsOp(".")) {
        name = NameOf(t[i + 1]);
        i += 2;
    }
    std::vector<std::pair<std::string, SqlValue>> args;
    std::map<std::string, std::string> outputs;  // parameter -> caller variable
    for (auto& a : SplitCommas(t, i, t.size())) {
        std::string pname;
        size_t k = 0;
        if (a.size() >= 3 && a[0].kind == Token::Variable && a[1].IsOp("=")) {
            pname = a[0].value;
            k = 2;
        }
        bool output = false;
        if (!a.empty() && (a.back().Is("OUTPUT") || a.back().Is("OUT"))) {
            output = true;
            a.pop_back();
        }
        std::vector<Token> expr(a.begin() + static_cast<std::ptrdiff_t>(k), a.end());
        // A bare name is a string (exec sp_help int); DEFAULT leaves the parameter's default.
        const bool bareName =
            expr.size() == 1 && (expr[0].kind == Token::Bracketed || (expr[0].kind == Token::Word && !expr[0].Is("NULL") && !expr[0].Is("DEFAULT")));
        SqlValue v = expr.size() == 1 && expr[0].Is("DEFAULT") ? SqlValue{} : bareName ? SqlValue::FromText(NameOf(expr[0])) : Eval(expr, line);
        if (output && expr.size() == 1 && expr[0].kind == Token::Variable)
            outputs[pname.empty() ? "#" + std::to_string(args.size()) : pname] = expr[0].value;
        args.emplace_back(pname, v);
    }
    const std::string upper = Upper(name);
    if (upper == "SP_SANDBOX_DROP_CONNECTION") throw DropConnection{};
    if (upper == "SP_SANDBOX_ROWS") {
        GenerateRows(args.empty() ? 0 : static_cast<long>(args[0].second.i));
        return;
    }
    if (ExecCatalogProcedure(upper, args, line)) return;
    if (upper == "SP_SANDBOX_DROP_AFTER_ROWS") {
        dropAfterRows_ = args.empty() ? 0 : static_cast<long>(args[0].second.i);
        return;
    }
    if (upper == "SP_EXECUTESQL") {
        if (args.empty())
            throw SqlError{201,  16, 4,   "Procedure or function 'sp_executesql' expects parameter '@statement', which was not supplied.",
                           line, "", true};
        std::map<std::string, Variable> params;
        if (args.size() > 1) {
            auto decl = Tokenize(args[1].second.AsText());
            size_t pos = 0;
            for (auto& d : SplitCommas(decl, 0, decl.size())) {
                if (d.empty()) continue;
                Variable v;
                v.type = TypeOf(d, 1, TypeEnd(d, 1));
                const size_t argIndex = 2 + pos++;
                std::string pn = d[0].value;
                for (auto& [n, val] : args)
                    if (n == pn) v.value = val;
                if (argIndex < args.size() && args[argIndex].first.empty()) v.value = args[argIndex].second;
                v.value = Coerce(v.type, v.value);
                params[pn] = v;
            }
        }
        RunText(args[0].second.AsText(), params, line);
        return;
    }
    std::map<std::string, SqlValue> outValues;
    const int status = RunProcedure(name, args, line, &outputs, &outValues);
    for (auto& [param, var] : outputs) {
        Variable* v = FindVar(var);
        if (v && outValues.count(param)) v->value = Coerce(v->type, outValues[param]);
    }
    if (!resultVar.empty())
        if (Variable* v = FindVar(resultVar)) v->value = SqlValue::FromInt(status);
    out_.ReturnStatus(status);
    out_.Done(procDepth_ > 0 ? DoneKind::InProcedure : DoneKind::Procedure, tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
}

Session::Module Session::ParseModuleHeader(const std::string& source) {
    Module m;
    const auto t = Tokenize(source);
    size_t i = 0;
    while (i < t.size() && !(t[i].Is("PROC") || t[i].Is("PROCEDURE") || t[i].Is("FUNCTION") || t[i].Is("TRIGGER") || t[i].Is("VIEW"))) ++i;
    if (i >= t.size()) return m;
    const std::string kind = t[i].value;
    ++i;
    if (i < t.size()) m.name = NameOf(t[i++]);
    while (i + 1 < t.size() && t[i].IsOp(".")) {
        m.name = NameOf(t[i + 1]);
        i += 2;
    }
    size_t asPos = t.size();
    if (kind == "FUNCTION") {
        // ( params ) RETURNS type|TABLE|@t TABLE(...) [WITH ...] AS
        size_t open = i;
        size_t close = open < t.size() && t[open].IsOp("(") ? MatchParen(t, open) : open;
        for (auto& p : SplitCommas(t, open + 1, close)) {
            if (p.empty() || p[0].kind != Token::Variable) continue;
            size_t k = 1;
            if (k < p.size() && p[k].Is("AS")) ++k;
            const size_t end = TypeEnd(p, k);
            m.params.emplace_back(p[0].value, TypeOf(p, k, end));
            m.spellings.push_back(p[0].text);
            m.defaults.push_back(end < p.size() && p[end].IsOp("=")
                                     ? std::vector<Token>(p.begin() + static_cast<std::ptrdiff_t>(end) + 1, p.end())
                                     : std::vector<Token>{});
            m.outputs.push_back(false);
        }
        i = close + 1;
        if (i < t.size() && t[i].Is("RETURNS")) {
            ++i;
            if (i < t.size() && t[i].Is("TABLE"))
                m.xtype = "IF";
            else if (i < t.size() && t[i].kind == Token::Variable)
                m.xtype = "TF";
            else
                m.xtype = "FN";
        }
        int depth = 0;
        for (; i < t.size(); ++i) {
            if (t[i].IsOp("("))
                depth++;
            else if (t[i].IsOp(")"))
                depth--;
            else if (depth == 0 && t[i].Is("AS")) {
                asPos = i;
                break;
            }
        }
    } else {
        if (kind == "PROC" || kind == "PROCEDURE")
            m.xtype = "P";
        else if (kind == "TRIGGER")
            m.xtype = "TR";
        else
            m.xtype = "V";
        int depth = 0;
        size_t paramsEnd = i;
        for (size_t k = i; k < t.size(); ++k) {
            if (t[k].IsOp("("))
                depth++;
            else if (t[k].IsOp(")"))
                depth--;
            else if (depth == 0 && t[k].Is("AS")) {
                asPos = k;
                paramsEnd = k;
                break;
            }
        }
        if (m.xtype == "P") {
            size_t from = i, to = paramsEnd;
            if (from < to && t[from].IsOp("(")) {
                ++from;
                to = MatchParen(t, i);
            }
            for (auto& p : SplitCommas(t, from, to)) {
                if (p.empty() || p[0].kind != Token::Variable) continue;
                if (p[0].Is("WITH")) break;
                size_t k = 1;
                if (k < p.size() && p[k].Is("AS")) ++k;
                const size_t end = TypeEnd(p, k);
                bool output = false;
                std::vector<Token> def;
                size_t j = end;
                if (j < p.size() && p[j].IsOp("=")) {
                    ++j;
                    while (j < p.size() && !(p[j].Is("OUTPUT") || p[j].Is("OUT") || p[j].Is("READONLY"))) def.push_back(p[j++]);
                }
                for (; j < p.size(); ++j) output = output || p[j].Is("OUTPUT") || p[j].Is("OUT");
                m.params.emplace_back(p[0].value, TypeOf(p, k, end));
                m.spellings.push_back(p[0].text);
                m.defaults.push_back(def);
                m.outputs.push_back(output);
            }
        }
    }
    if (asPos < t.size()) {
        m.body = source.substr(asPos + 1 < t.size() ? t[asPos + 1].pos : source.size());
        m.bodyLine = asPos + 1 < t.size() ? t[asPos + 1].line : 1;
    }
    return m;
}

void Session::CheckNesting(int line) const {
    if (procDepth_ >= kMaxNesting)
        throw SqlError{217,  16, 1,   "Maximum stored procedure, function, trigger, or view nesting level exceeded (limit 32).",
                       line, "", true};
}

std::optional<Session::Module> Session::LoadModule(const std::string& name, const char* xtypes) {
    SqlStmt st;
    const std::string sql = std::string("SELECT source FROM __objects WHERE lower(name) = lower(?) AND xtype IN (") + xtypes + ")";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, st.Out(), nullptr) != SQLITE_OK) return std::nullopt;
    const std::string stored = TempName(name);
    sqlite3_bind_text(st, 1, stored.c_str(), -1, SQLITE_TRANSIENT);
    std::optional<Module> m;
    if (sqlite3_step(st) == SQLITE_ROW) m = ParseModuleHeader(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    st.Reset();
    return m;
}

int Session::RunProcedure(const std::string& name, std::vector<std::pair<std::string, SqlValue>> args, int line,
                          std::map<std::string, std::string>* outputs, std::map<std::string, SqlValue>* outputValues) {
    auto m = LoadModule(name, "'P'");
    if (!m) throw SqlError{2812, 16, 62, "Could not find stored procedure '" + name + "'.", line, "", true};
    CheckNesting(line);
    Scope scope;
    scope.procedure = m->name;
    size_t positional = 0;
    std::map<size_t, std::string> positionalOut;
    for (size_t k = 0; k < m->params.size(); ++k) {
        Variable v;
        v.type = m->params[k].second;
        bool given = false;
        for (auto& [n, val] : args)
            if (n == m->params[k].first) {
                v.value = val;
                given = true;
            }
        if (!given && positional < args.size() && args[positional].first.empty()) {
            if (outputs && outputs->count("#" + std::to_string(positional))) positionalOut[k] = "#" + std::to_string(positional);
            v.value = args[positional++].second;
            given = true;
        }
        if (!given) {
            if (m->defaults[k].empty() && !m->outputs[k])
                throw SqlError{
                    201,  16,
                    4,    "Procedure or function '" + m->name + "' expects parameter '" + m->spellings[k] + "', which was not supplied.",
                    line, m->name,
                    false};
            if (!m->defaults[k].empty()) v.value = Eval(m->defaults[k], line);
        }
        v.value = Coerce(v.type, DateFromText(v.type, v.value));
        scope.vars[m->params[k].first] = v;
    }
    std::vector<std::unique_ptr<Stmt>> body;
    try {
        body = ParseBatch(m->body);
    } catch (const ParseError& e) {
        throw SqlError{e.number, 15, 1, e.message, e.line, m->name, true};
    }
    scopes_.push_back(std::move(scope));
    ++procDepth_;
    // SET NOCOUNT inside a procedure lasts until it returns.
    const bool nocount = nocount_;
    int status = 0;
    try {
        ExecBody(body);
    } catch (const ReturnSignal& r) {
        status = r.status;
    } catch (...) {
        --procDepth_;
        nocount_ = nocount;
        PopScope();
        throw;
    }
    --procDepth_;
    nocount_ = nocount;
    if (outputValues) {
        for (size_t k = 0; k < m->params.size(); ++k) {
            if (!m->outputs[k]) continue;
            const SqlValue& v = scopes_.back().vars[m->params[k].first].value;
            (*outputValues)[m->params[k].first] = v;
            if (positionalOut.count(k)) (*outputValues)[positionalOut[k]] = v;
        }
    }
    PopScope();
    return status;
}

SqlValue Session::CallFunction(const std::string& name, std::vector<SqlValue> args) {
    auto m = LoadModule(name, "'FN'");
    if (!m)
        throw SqlError{4121, 16, 1, "Cannot find either column \"dbo\" or the user-defined function \"dbo." + name + "\".", 1, "", true};
    CheckNesting(1);
    Scope scope;
    scope.procedure = m->name;
    for (size_t k = 0; k < m->params.size(); ++k) {
        Variable v;
        v.type = m->params[k].second;
        v.value = Coerce(v.type, DateFromText(v.type, k < args.size() ? args[k] : SqlValue{}));
        scope.vars[m->params[k].first] = v;
    }
    std::vector<std::unique_ptr<Stmt>> body = ParseBatch(m->body);
    scopes_.push_back(std::move(scope));
    ++procDepth_;
    SqlValue result;
    try {
        ExecBody(body);
    } catch (const ReturnSignal& r) {
        result = r.value;
    } catch (...) {
        --procDepth_;
        PopScope();
        throw;
    }
    --procDepth_;
    PopScope();
    return result;
}

void Session::RunRpc(const std::string& procName, int procId, std::vector<RpcParam> params) {
    ClearScopes();
    scopes_.assign(1, Scope{});
    catches_.clear();
    tryDepth_ = 0;
    procDepth_ = 1;
    std::string name = Upper(procName);
    if (procId == 10) name = "SP_EXECUTESQL";
    if (procId == 11) name = "SP_PREPARE";
    if (procId == 12) name = "SP_EXECUTE";
    if (procId == 13) name = "SP_PREPEXEC";
    if (procId == 15) name = "SP_UNPREPARE";
    auto declParams = [&](const std::string& decl, size_t firstValue) {
        std::map<std::string, Variable> vars;
        auto tokens = Tokenize(decl);
        size_t pos = firstValue;
        for (auto& d : SplitCommas(tokens, 0, tokens.size())) {
            if (d.empty()) continue;
            Variable v;
            v.type = TypeOf(d, 1, TypeEnd(d, 1));
            for (auto& p : params)
                if (Upper(p.name) == d[0].value) v.value = p.value;
            if (pos < params.size() && params[pos].name.empty()) v.value = params[pos].value;
            ++pos;
            vars[d[0].value] = v;
        }
        return vars;
    };
    std::vector<std::pair<std::uint16_t, RpcParam>> returns;
    // Output parameters of dynamic SQL go back as return values, in the order of the call.
    auto collectOutputs = [&](const std::string& decl, size_t firstValue, std::map<std::string, Variable>& finalVars) {
        auto tokens = Tokenize(decl);
        size_t pos = firstValue;
        for (auto& d : SplitCommas(tokens, 0, tokens.size())) {
            if (d.empty()) continue;
            size_t index = params.size();
            for (size_t k = firstValue; k < params.size(); ++k)
                if (Upper(params[k].name) == d[0].value) index = k;
            if (index == params.size() && pos < params.size() && params[pos].name.empty()) index = pos;
            ++pos;
            if (index < params.size() && params[index].output && finalVars.count(d[0].value)) {
                RpcParam r = params[index];
                r.value = finalVars[d[0].value].value;
                returns.emplace_back(static_cast<std::uint16_t>(index), r);
            }
        }
    };
    int status = 0;
    try {
        if (name == "SP_EXECUTESQL") {
            if (params.empty())
                throw SqlError{
                    201, 16, 4,   "Procedure or function 'sp_executesql' expects parameter '@statement', which was not supplied.",
                    1,   "", true};
            std::map<std::string, Variable> finalVars;
            RunText(params[0].value.AsText(),
                    params.size() > 1 ? declParams(params[1].value.AsText(), 2) : std::map<std::string, Variable>{}, 1, &finalVars);
            if (params.size() > 1) collectOutputs(params[1].value.AsText(), 2, finalVars);
        } else if (name == "SP_PREPEXEC" || name == "SP_PREPARE") {
            if (params.size() < 3)
                throw SqlError{201, 16, 4,   "Procedure or function '" + procName + "' expects parameter '@stmt', which was not supplied.",
                               1,   "", true};
            const int handle = ++nextHandle_;
            prepared_[handle] = {params[1].value.AsText(), params[2].value.AsText()};
            RpcParam h = params[0];
            h.value = SqlValue::FromInt(handle);
            h.type = SqlType::Of(SqlType::Int);
            returns.emplace_back(0, h);
            if (name == "SP_PREPEXEC") {
                std::map<std::string, Variable> finalVars;
                RunText(params[2].value.AsText(), declParams(params[1].value.AsText(), 3), 1, &finalVars);
                collectOutputs(params[1].value.AsText(), 3, finalVars);
            }
        } else if (name == "SP_EXECUTE") {
            const int handle = params.empty() ? 0 : static_cast<int>(params[0].value.i);
            auto it = prepared_.find(handle);
            if (it == prepared_.end())
                throw SqlError{8179, 16, 2, "Could not find prepared statement with handle " + std::to_string(handle) + ".", 1, "", true};
            std::map<std::string, Variable> finalVars;
            RunText(it->second.second, declParams(it->second.first, 1), 1, &finalVars);
            collectOutputs(it->second.first, 1, finalVars);
        } else if (name == "SP_UNPREPARE") {
            if (!params.empty()) prepared_.erase(static_cast<int>(params[0].value.i));
        } else {
            std::vector<std::pair<std::string, SqlValue>> args;
            for (auto& p : params) args.emplace_back(Upper(p.name), p.value);
            std::map<std::string, SqlValue> outValues;
            procDepth_ = 0;
            status = RunProcedure(procName, args, 1, nullptr, &outValues);
            for (size_t k = 0; k < params.size(); ++k)
                if (params[k].output && outValues.count(Upper(params[k].name))) {
                    RpcParam r = params[k];
                    r.value = outValues[Upper(params[k].name)];
                    returns.emplace_back(static_cast<std::uint16_t>(k), r);
                }
        }
    } catch (SqlError& e) {
        EmitError(e);
    } catch (const BatchAbort&) {
    }
    procDepth_ = 0;
    out_.ReturnStatus(status);
    for (auto& [ordinal, p] : returns) {
        SqlColumn c;
        c.type = p.type;
        out_.ReturnValue(ordinal, p.name, c, Coerce(p.type, p.value));
    }
    out_.Done(DoneKind::Procedure, tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
    ClearScopes();
}
