// The OLE DB connection string of the dialog, read back, and the ODBC string made from it.
#include "uDbAccess.h"

#include "uNbFormat.h"
#include "uNbText.h"

namespace {

std::string OdbcValue(const std::string& value, const char* what) {
    // The driver ends a braced value at the first "};", so a value holding it cannot be passed.
    if (value.find("};") != std::string::npos)
        throw EDbError(NbFormat("The %s contains the characters \"};\", which the ODBC driver cannot accept.", what));
    if (value.find('\0') != std::string::npos) throw EDbError(NbFormat("The %s contains a NUL character.", what));
    return "{" + value + "}";
}

// An OLE DB value quoted as OLE DB quotes it when it holds ";" or starts with a quote or a space:
// in double quotes, a double quote doubled.
std::string OleDbValue(const std::string& value) {
    const bool quote = value.find(';') != std::string::npos ||
                       (!value.empty() && (value[0] == '"' || value[0] == '\'' || value[0] == ' ')) ||
                       (!value.empty() && value.back() == ' ');
    if (!quote) return value;
    std::string out = "\"";
    for (char c : value) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

}  // namespace

std::string OleDbConnectionString(const TDbConnectionParams& p) {
    const std::string auth = p.IntegratedSecurity ? std::string("Integrated Security=SSPI;")
                                                  : "User ID=" + OleDbValue(p.UserId) + ";Password=" + p.Password + ";";
    return "Provider=SQLOLEDB.1;" + auth + "Data Source=" + p.Server +
           ";Initial Catalog=" + (p.Database.empty() ? std::string("master") : p.Database) + ";Persist Security Info=True;" +
           (p.Encrypt ? "Use Encryption for Data=True;" : "") + (p.TrustServerCertificate ? "Trust Server Certificate=True;" : "");
}

std::string UseDatabaseStatement(const std::string& database) {
    std::string out = "use [";
    for (char c : database) {
        out += c;
        if (c == ']') out += ']';
    }
    return out + "]";
}

namespace {

TDbConnectionParams ParsePlain(const std::string& text) {
    TDbConnectionParams p;
    // The dialog's layout: Provider=SQLOLEDB.1;<auth>Data Source=<server>;Initial Catalog=<db>;...
    // A password is taken up to the last ";Data Source=", so ";" inside it stays in it.
    const std::string kUser = "User ID=", kPassword = ";Password=", kSource = "Data Source=", kCatalog = ";Initial Catalog=";
    size_t sourceAt = text.rfind(";" + kSource);
    const size_t userAt = text.find(kUser);
    if (userAt != std::string::npos && sourceAt != std::string::npos && userAt < sourceAt) {
        const size_t pwAt = text.find(kPassword, userAt);
        if (pwAt != std::string::npos && pwAt < sourceAt) {
            p.UserId = text.substr(userAt + kUser.size(), pwAt - userAt - kUser.size());
            p.Password = text.substr(pwAt + kPassword.size(), sourceAt - pwAt - kPassword.size());
        }
    }
    if (text.find("Integrated Security=SSPI") != std::string::npos && p.UserId.empty()) p.IntegratedSecurity = true;
    // The options follow the server's part, so a password holding their text does not count.
    const size_t tail = sourceAt == std::string::npos || sourceAt == static_cast<size_t>(-1) ? 0 : sourceAt;
    p.Encrypt = text.find(";Use Encryption for Data=True;", tail) != std::string::npos;
    p.TrustServerCertificate = text.find(";Trust Server Certificate=True;", tail) != std::string::npos;
    if (sourceAt == std::string::npos && text.rfind(kSource, 0) == 0) sourceAt = static_cast<size_t>(-1);
    if (sourceAt != std::string::npos) {
        const size_t start = sourceAt + 1 + kSource.size();
        size_t end = text.find(kCatalog, start);
        if (end == std::string::npos) end = text.find(';', start);
        p.Server = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end != std::string::npos && text.compare(end, kCatalog.size(), kCatalog) == 0) {
            const size_t dbStart = end + kCatalog.size();
            const size_t dbEnd = text.find(';', dbStart);
            p.Database = text.substr(dbStart, dbEnd == std::string::npos ? std::string::npos : dbEnd - dbStart);
        }
    }
    return p;
}

}  // namespace

TDbConnectionParams ParseOleDbConnectionString(const std::string& text) {
    // A quoted login (it holds ";"): read to its closing quote, a doubled quote being one; the rest
    // is read as usual.
    const std::string kUser = "User ID=";
    const size_t at = text.find(kUser);
    if (at == std::string::npos || at + kUser.size() >= text.size() || text[at + kUser.size()] != '"') return ParsePlain(text);
    std::string user;
    size_t i = at + kUser.size() + 1;
    for (; i < text.size(); ++i) {
        if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                user += '"';
                ++i;
                continue;
            }
            break;
        }
        user += text[i];
    }
    TDbConnectionParams p = ParsePlain(text.substr(0, at) + kUser + "x" + (i < text.size() ? text.substr(i + 1) : std::string()));
    p.UserId = user;
    p.IntegratedSecurity = false;
    return p;
}

bool IsMicrosoftOdbcDriver(const std::string& driver) {
    std::string d;
    for (char c : driver) d += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return d.find("microsoft") != std::string::npos || d.rfind("odbc driver", 0) == 0 || d.find("msodbcsql") != std::string::npos;
}

std::string BuildOdbcConnectionString(const TDbConnectionParams& p, const std::string& driver, const std::string& serverSection) {
    // Server text: "host", "host,port" or "host\instance".
    std::string host = std::string(NbTrim(p.Server)), port, instance;
    const size_t comma = host.find(',');
    if (comma != std::string::npos) {
        port = std::string(NbTrim(host.substr(comma + 1)));
        host = std::string(NbTrim(host.substr(0, comma)));
    }
    const size_t slash = host.find('\\');
    if (slash != std::string::npos) {
        instance = host.substr(slash + 1);
        host = host.substr(0, slash);
    }
    if (host == "." || host == "(local)") host = "localhost";
    const bool microsoft = IsMicrosoftOdbcDriver(driver);
    std::string cs = "Driver=" + OdbcValue(driver, "driver name") + ";";
    if (!serverSection.empty())
        cs += "Servername=" + OdbcValue(serverSection, "server name") + ";";
    else if (microsoft)
        cs += "Server=" +
              OdbcValue(host + (!port.empty()       ? "," + port
                                : !instance.empty() ? "\\" + instance
                                                    : std::string()),
                        "server name") +
              ";";
    else {
        cs += "Server=" + OdbcValue(host, "server name") + ";";
        if (!port.empty())
            cs += "Port=" + OdbcValue(port, "port") + ";";
        else if (!instance.empty())
            cs += "Instance=" + OdbcValue(instance, "instance name") + ";";
        else
            cs += "Port={1433};";
    }
    if (p.IntegratedSecurity) {
        cs += "Trusted_Connection={yes};";
    } else {
        cs += "UID=" + OdbcValue(p.UserId, "login") + ";PWD=" + OdbcValue(p.Password, "password") + ";";
    }
    if (!p.Database.empty()) cs += "Database=" + OdbcValue(p.Database, "database name") + ";";
    if (microsoft) {
        cs += p.Encrypt ? "Encrypt={yes};" : "Encrypt={no};";
        if (p.TrustServerCertificate) cs += "TrustServerCertificate={yes};";
        return cs;
    }
    // Unticked leaves FreeTDS's own default (request): the login encrypted where the server offers it.
    if (p.Encrypt) cs += "Encryption={require};";
    // The largest packets the protocol allows: a long batch or a big result crosses in an eighth
    // of the packets (and system calls) of the 4096-byte default.
    cs += "TDS_Version={7.4};ClientCharset={UTF-8};PacketSize={32767};";
    return cs;
}
