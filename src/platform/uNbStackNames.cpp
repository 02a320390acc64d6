#include "uNbStackNames.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace {

[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    std::vsnprintf(s.data(), s.size() + 1, format, again);
    va_end(again);
    return s;
}

std::string Address(uintptr_t a) { return Format("%0*" PRIXPTR, static_cast<int>(sizeof(void*) * 2), a); }

// " + $1A", or " - $1A" for a negative offset.
std::string Offset(long long d) { return d < 0 ? Format(" - $%llX", -d) : Format(" + $%llX", d); }

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

// The function's C++ name, with the standard library's long spelling of std::string shortened.
std::string Demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    std::string s = status == 0 && plain ? std::string(plain.get()) : std::string(name);
    ReplaceAll(s, "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >", "std::string");
    ReplaceAll(s, "std::__cxx11::", "std::");
    return s;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithoutExtension(const std::string& name) {
    const auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The first line of the function that holds the address, when the code there is that function's
// own (not inlined from another one); 0 when unknown.
int FunctionFirstLine(Dwfl_Module* mod, Dwarf_Addr addr) {
    Dwarf_Addr bias = 0;
    Dwarf_Die* cu = dwfl_module_addrdie(mod, addr, &bias);
    if (!cu) return 0;
    Dwarf_Die* scopes = nullptr;
    const int n = dwarf_getscopes(cu, addr - bias, &scopes);
    int line = 0;
    for (int i = 0; i < n; ++i) {
        const int tag = dwarf_tag(&scopes[i]);
        if (tag == DW_TAG_inlined_subroutine) break;
        if (tag == DW_TAG_subprogram) {
            if (dwarf_decl_line(&scopes[i], &line) != 0) line = 0;
            break;
        }
    }
    std::free(scopes);
    return line;
}

std::string FrameLine(Dwfl* dwfl, uintptr_t address) {
    // A return address points after its call; the call itself is one byte earlier.
    const Dwarf_Addr at = address - 1;
    Dwfl_Module* mod = dwfl ? dwfl_addrmodule(dwfl, at) : nullptr;
    if (!mod) return Format("(%s) [%s]", Address(0).c_str(), Address(address).c_str());
    Dwarf_Addr base = 0;
    dwfl_module_info(mod, nullptr, &base, nullptr, nullptr, nullptr, nullptr, nullptr);

    GElf_Off symOffset = 0;
    GElf_Sym sym;
    const char* symbol = dwfl_module_addrinfo(mod, at, &symOffset, &sym, nullptr, nullptr, nullptr);
    if (!symbol) return Format("(%s) [%s]", Address(address - base - 0x1000).c_str(), Address(address).c_str());
    std::string procedure = Demangle(symbol);

    Dwfl_Line* line = dwfl_module_getsrc(mod, at);
    Dwarf_Addr lineAddress = 0;
    int lineNumber = 0;
    const char* file = line ? dwfl_lineinfo(line, &lineAddress, &lineNumber, nullptr, nullptr, nullptr) : nullptr;
    if (!file || lineNumber <= 0)
        return Format("[%s] %s%s", Address(address).c_str(), procedure.c_str(), Offset(static_cast<long long>(symOffset) + 1).c_str());

    const std::string fileName = BaseName(file);
    const std::string unit = WithoutExtension(fileName);
    if (procedure.rfind(unit + ".", 0) == 0) procedure.erase(0, unit.size() + 1);
    const int first = FunctionFirstLine(mod, at);
    const std::string fromFirst = first > 0 ? Format(" + %d", lineNumber - first) : std::string();
    return Format("[%s] %s.%s (Line %u, \"%s\"%s)%s", Address(address).c_str(), unit.c_str(), procedure.c_str(),
                  static_cast<unsigned>(lineNumber), fileName.c_str(), fromFirst.c_str(),
                  Offset(static_cast<long long>(address) - static_cast<long long>(lineAddress)).c_str());
}

}  // namespace

std::string NbFormatStackTrace(const std::vector<void*>& frames) {
    if (frames.empty()) return {};
    static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr, nullptr};
    Dwfl* dwfl = dwfl_begin(&callbacks);
    if (dwfl && (dwfl_linux_proc_report(dwfl, getpid()) != 0 || dwfl_report_end(dwfl, nullptr, nullptr) != 0)) {
        dwfl_end(dwfl);
        dwfl = nullptr;
    }
    std::string text;
    for (void* f : frames) text += FrameLine(dwfl, reinterpret_cast<uintptr_t>(f)) + "\r\n";
    if (dwfl) dwfl_end(dwfl);
    return text;
}
