#include "uNbHttp.h"

#include "uNbAppInfo.h"

#include <QCoreApplication>
#include <QPointer>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::atomic<int> g_running{0};

// Completion steps are posted to this object on the main thread. It is a child of the application
// object; once it is gone, finished workers have nowhere to report to and simply wait to be released.
std::mutex g_dispatchLock;
QObject* g_dispatcher = nullptr;

class TNbHttpDispatcher : public QObject {
public:
    ~TNbHttpDispatcher() override {
        std::lock_guard<std::mutex> lock(g_dispatchLock);
        g_dispatcher = nullptr;
    }
};

void EnsureDispatcher() {
    std::lock_guard<std::mutex> lock(g_dispatchLock);
    if (g_dispatcher) return;
    g_dispatcher = new TNbHttpDispatcher;
    g_dispatcher->setParent(QCoreApplication::instance());
}

}  // namespace

// One request: its own thread, easy handle, streams and lock.
class TNbHttpThread : public std::enable_shared_from_this<TNbHttpThread> {
public:
    TNbHttpThread(const QString& url, std::unique_ptr<QByteArray> body, std::unique_ptr<QByteArray> stream, TNbHttp* owner)
        : url_(url.toStdString()), body_(std::move(body)), stream_(std::move(stream)), owner_(owner) {}
    ~TNbHttpThread() {
        if (client_) curl_easy_cleanup(client_);
        if (headers_) curl_slist_free_all(headers_);
    }

    void Start();
    void GiveUp();
    bool Finished() {
        std::lock_guard<std::mutex> lock(lock_);
        return finished_;
    }
    bool Released() {
        std::lock_guard<std::mutex> lock(lock_);
        return released_;
    }
    std::thread& Thread() { return thread_; }

private:
    void Run();
    void Complete();
    bool PostCompletion();
    void CompletionGone();
    static size_t Write(char* data, size_t size, size_t n, void* self);
    static size_t Header(char* data, size_t size, size_t n, void* self);
    static int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    const std::string url_;
    CURL* client_ = nullptr;
    curl_slist* headers_ = nullptr;
    TNbHttpResponse received_;  // worker thread only, until the completion step reads it

    // Guarded by lock_.
    std::mutex lock_;
    std::condition_variable changed_;
    std::unique_ptr<QByteArray> body_;
    std::unique_ptr<QByteArray> stream_;
    TNbHttp* owner_;
    bool aborted_ = false;
    bool released_ = false;
    bool finished_ = false;
    bool completionGone_ = false;

    std::thread thread_;
};

namespace {

// Every worker ever started. At program end, workers that are released and finished are joined;
// the others are left behind, detached, so that exit never waits for the network.
struct TWorkerList {
    std::mutex lock;
    std::vector<std::shared_ptr<TNbHttpThread>> items;
    ~TWorkerList() {
        for (auto& w : items) {
            if (w->Finished() && w->Released())
                w->Thread().join();
            else
                w->Thread().detach();
        }
    }
};
TWorkerList& Workers() {
    static TWorkerList list;
    return list;
}

// Drops its completion's claim on the worker when the posted step has run or was discarded.
struct TCompletionGuard {
    std::shared_ptr<TNbHttpThread> worker;
    std::function<void()> gone;
    ~TCompletionGuard() { gone(); }
};

}  // namespace

QString TNbHttpResponse::Header(const QString& name) const {
    auto it = headers_.find(Lower(name.toStdString()));
    return it == headers_.end() ? QString() : QString::fromStdString(it->second);
}

void TNbHttpResponse::AddHeaderLine(const std::string& line) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) return;
    headers_[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
}

void TNbHttpThread::Start() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    client_ = curl_easy_init();
    if (client_) {
        const bool secure = Lower(url_.substr(0, 8)) == "https://";
        curl_easy_setopt(client_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(client_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(client_, CURLOPT_PROTOCOLS_STR, "http,https");
        // A request that starts encrypted never continues in the clear.
        curl_easy_setopt(client_, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
        curl_easy_setopt(client_, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(client_, CURLOPT_MAXREDIRS, 5L);
        curl_easy_setopt(client_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(client_, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(client_, CURLOPT_FAILONERROR, 1L);
        const std::string agent = NbAppShortName() + "/" + NbAppVersion();
        curl_easy_setopt(client_, CURLOPT_USERAGENT, agent.c_str());  // copied by libcurl
        curl_easy_setopt(client_, CURLOPT_WRITEFUNCTION, &TNbHttpThread::Write);
        curl_easy_setopt(client_, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(client_, CURLOPT_HEADERFUNCTION, &TNbHttpThread::Header);
        curl_easy_setopt(client_, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(client_, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(client_, CURLOPT_XFERINFOFUNCTION, &TNbHttpThread::Progress);
        curl_easy_setopt(client_, CURLOPT_XFERINFODATA, this);
        if (body_) {
            headers_ = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
            curl_easy_setopt(client_, CURLOPT_HTTPHEADER, headers_);
            curl_easy_setopt(client_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_->size()));
            curl_easy_setopt(client_, CURLOPT_POSTFIELDS, body_->constData());
        }
    }
    g_running.fetch_add(1);
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
}

size_t TNbHttpThread::Write(char* data, size_t size, size_t n, void* self) {
    auto* w = static_cast<TNbHttpThread*>(self);
    // The stream belongs to this worker until the completion step, which runs after the transfer.
    if (w->stream_) w->stream_->append(data, static_cast<qsizetype>(size * n));
    return size * n;
}

size_t TNbHttpThread::Header(char* data, size_t size, size_t n, void* self) {
    auto* w = static_cast<TNbHttpThread*>(self);
    const std::string line(data, size * n);
    // Each response of a redirect chain starts with its status line; only the last one counts.
    if (line.rfind("HTTP/", 0) == 0)
        w->received_.ClearHeaders();
    else
        w->received_.AddHeaderLine(line);
    return size * n;
}

// The abort check: a worker that has been given up ends its transfer at the next notification.
int TNbHttpThread::Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* w = static_cast<TNbHttpThread*>(self);
    std::lock_guard<std::mutex> lock(w->lock_);
    return w->aborted_ ? 1 : 0;
}

void TNbHttpThread::Run() {
    bool ok = false;
    if (client_) {
        ok = curl_easy_perform(client_) == CURLE_OK;
        long status = 0;
        curl_easy_getinfo(client_, CURLINFO_RESPONSE_CODE, &status);
        received_.StatusCode = static_cast<int>(status);
        ok = ok && status >= 200 && status < 300;
    }
    std::unique_lock<std::mutex> lock(lock_);
    if (ok && !aborted_) {
        lock.unlock();
        const bool posted = PostCompletion();
        lock.lock();
        if (posted) changed_.wait(lock, [this] { return completionGone_ || released_; });
    }
    finished_ = true;
    changed_.wait(lock, [this] { return released_; });
    lock.unlock();
    curl_easy_cleanup(client_);
    client_ = nullptr;
    g_running.fetch_sub(1);
}

bool TNbHttpThread::PostCompletion() {
    auto guard = std::make_shared<TCompletionGuard>(TCompletionGuard{shared_from_this(), [w = this] { w->CompletionGone(); }});
    std::lock_guard<std::mutex> dispatch(g_dispatchLock);
    if (!g_dispatcher) return false;
    QMetaObject::invokeMethod(
        g_dispatcher, [guard] { guard->worker->Complete(); }, Qt::QueuedConnection);
    return true;
}

void TNbHttpThread::CompletionGone() {
    std::lock_guard<std::mutex> lock(lock_);
    completionGone_ = true;
    changed_.notify_all();
}

// The completion step, on the main thread while the worker waits.
void TNbHttpThread::Complete() {
    TNbHttp* owner;
    {
        std::lock_guard<std::mutex> lock(lock_);
        owner = owner_;
    }
    if (owner) {
        QPointer<TNbHttp> alive(owner);
        owner->response_ = received_;
        owner->doneStream_ = stream_.get();
        try {
            owner->DoDone();
        } catch (...) {  // a failing done handler ends the request like any other failure
        }
        if (alive) owner->doneStream_ = nullptr;
    }
    std::lock_guard<std::mutex> lock(lock_);
    stream_.reset();
    body_.reset();
}

void TNbHttpThread::GiveUp() {
    std::lock_guard<std::mutex> lock(lock_);
    aborted_ = true;
    owner_ = nullptr;
    released_ = true;
    changed_.notify_all();
}

TNbHttp::TNbHttp(QObject* owner) : QObject(owner) {}

TNbHttp::~TNbHttp() { GiveUp(); }

void TNbHttp::Get(const QString& url) { Request(url, nullptr, nullptr); }

void TNbHttp::Get(const QString& url, std::unique_ptr<QByteArray> stream) { Request(url, nullptr, std::move(stream)); }

void TNbHttp::Post(const QString& url, std::unique_ptr<QByteArray> body) {
    if (!body) body = std::make_unique<QByteArray>();
    Request(url, std::move(body), nullptr);
}

const TNbHttpResponse& TNbHttp::Response() const { return response_; }

QByteArray* TNbHttp::ResponseStream() const { return doneStream_; }

bool TNbHttp::Finished() const { return worker_ && worker_->Finished(); }

void TNbHttp::Request(const QString& url, std::unique_ptr<QByteArray> body, std::unique_ptr<QByteArray> stream) {
    GiveUp();
    response_ = TNbHttpResponse();
    EnsureDispatcher();
    worker_ = std::make_shared<TNbHttpThread>(url, std::move(body), std::move(stream), this);
    {
        std::lock_guard<std::mutex> lock(Workers().lock);
        Workers().items.push_back(worker_);
    }
    worker_->Start();
}

void TNbHttp::GiveUp() {
    if (worker_) worker_->GiveUp();
    worker_.reset();
}

void TNbHttp::DoDone() {
    if (OnDone) OnDone(this);
}

int NbHttpRunningWorkers() { return g_running.load(); }
