// Background HTTP: TNbHttp runs one GET or POST at a time on a worker thread of its own
// (TNbHttpThread, one libcurl easy handle each) and raises OnDone on the main thread once a
// request has completed with a success status. Failures are silent: the request just ends. The
// component can be destroyed at any time, also from inside OnDone; a running transfer is then
// given up and stops at its next progress notification.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <string>

// The response of a completed request: the final status code and its headers by name.
class TNbHttpResponse {
public:
    int StatusCode = 0;
    // The value of a response header (names compare without regard to case); empty when absent.
    QString Header(const QString& name) const;

    void ClearHeaders() { headers_.clear(); }
    void AddHeaderLine(const std::string& line);

private:
    std::map<std::string, std::string> headers_;  // keys in lower case
};

class TNbHttpThread;

class TNbHttp : public QObject {
    Q_OBJECT
public:
    explicit TNbHttp(QObject* owner = nullptr);
    ~TNbHttp() override;

    // GET; the body is read and discarded (only the status and headers matter).
    void Get(const QString& url);
    // GET into a memory stream that the component owns from now on; read it inside OnDone.
    void Get(const QString& url, std::unique_ptr<QByteArray> stream);
    // POST of a form body (application/x-www-form-urlencoded); the component owns the body.
    void Post(const QString& url, std::unique_ptr<QByteArray> body);

    // The current request's response; valid inside OnDone and until the next request starts.
    const TNbHttpResponse& Response() const;
    // The stream given to Get, inside OnDone; null otherwise.
    QByteArray* ResponseStream() const;
    // True once the current request is over, successful or not; OnDone, when due, has been raised.
    bool Finished() const;

    // Raised on the main thread when the latest request has completed (sender = this component).
    std::function<void(TNbHttp* sender)> OnDone;

private:
    void Request(const QString& url, std::unique_ptr<QByteArray> body, std::unique_ptr<QByteArray> stream);
    void GiveUp();
    void DoDone();
    std::shared_ptr<TNbHttpThread> worker_;
    TNbHttpResponse response_;
    QByteArray* doneStream_ = nullptr;
    friend class TNbHttpThread;
};

// Workers started since program start that have not ended yet (their threads still run).
int NbHttpRunningWorkers();
