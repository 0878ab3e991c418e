#pragma once
// One HTTP/1.1 request, parsed incrementally from its connection's socket: request line,
// headers, then a body held in memory or, for multipart/form-data, spooled to a temporary file
// and cut into form fields and uploaded files.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QMultiMap>
#include <QString>
#include <QTemporaryFile>
#include <functional>

class QIODevice;

namespace QuillonHttpd {

class HttpConnection;

class HttpRequest
{
    Q_DISABLE_COPY(HttpRequest)
public:
    enum RequestStatus { WaitForRequest = 0, WaitForHeader = 1, WaitForBody = 2, Complete = 3, Abort = 4 };
    // Malformed and TooLarge are answered with the 413, Unavailable (a shared budget) with the 503.
    enum AbortReason { NotAborted, Malformed, TooLarge, Unavailable };

    // Caps on what one client may make us hold before its request is judged.
    static constexpr qint64 maxRequestLine = 256 * 1024;
    static constexpr qint64 maxHeaderLine = 64 * 1024; // with its continuations
    static constexpr int maxHeaderLines = 100;
    static constexpr qint64 maxPartLine = 65536;
    // Parameters of one request, query, form fields and cookies together: a body of millions of
    // empty ones would build maps forty times its size. Counted before any is built.
    static constexpr int maxParameters = 10000;
    // Header bytes a request holds before they count against maxBufferedBytes: far more than
    // any ordinary request needs.
    static constexpr qint64 headerAllowance = 16 * 1024;

    explicit HttpRequest(HttpConnection* connection);
    ~HttpRequest();

    // One parsing step: one line or one block of body bytes. Reads nothing beyond the request.
    void readFromSocket(QIODevice* socket);

    RequestStatus getStatus() const { return status; }
    AbortReason getAbortReason() const { return abortReason; }
    // The client waits for "100 Continue" before it sends the body (headers passed the limits).
    bool expectsContinue() const { return status == WaitForBody && continueExpected; }
    QString statusText() const;
    static QString statusText(int status);

    QString header(const QString& name) const;
    QList<QString> headers(const QString& name) const;
    static QString urlDecode(const QString& text);

    QString getMethod() const { return method; }
    QString getPath() const { return path; }
    QString getFullPath() const { return fullPath; }
    QString getVersion() const { return version; }
    QByteArray getBody() const { return body; }
    const QMultiMap<QString, QString>& getHeaderMap() const { return headerMap; }
    const QMultiMap<QString, QString>& getParameterMap() const { return parameters; }
    const QMap<QString, QString>& getCookieMap() const { return cookies; }
    // The uploaded files, closed once written: the names and paths are there, the content is
    // read through uploadedFile().
    const QMap<QString, QTemporaryFile*>& getUploadedFiles() const { return uploadedFiles; }
    // The upload of a form field, opened and at its start; null when there is none.
    QTemporaryFile* uploadedFile(const QString& fieldName) const;
    const QMap<QString, QString>& getUploadedFileTypes() const { return uploadedFileTypes; }
    QDateTime getCreated() const { return created; }
    // Books memory a handler holds for this request (its copies of the parameters) against the
    // server's budget, given back with the request; false, and nothing booked, past the budget.
    bool bookMemory(qint64 bytes) { return takeMemory(bytes); }
    // What a parameter costs in memory as a map entry: its text and the entry around it.
    static qint64 entryCost(const QString& name, const QString& value)
    {
        return 2 * qint64(name.size() + value.size()) + 96;
    }

private:
    bool takeLine(QIODevice* socket, qint64 cap, QByteArray& line);
    void readRequest(QIODevice* socket);
    void readHeader(QIODevice* socket);
    void endOfHeaders();
    void readBody(QIODevice* socket);
    void parseMultiPart();
    int cookieParts() const;
    bool parametersWithinCap() const;
    bool countFormParts(const char* bytes, qint64 n);
    void parseParameters();
    void parseCookies();
    void abort(AbortReason reason, const char* message);
    void abort(AbortReason reason, const QString& message);
    // The refusal of a request that would pass the requests' budget, with the bound as the
    // operator configured it: `what` of the request ("bodies", "headers", ...), held in memory
    // or, `spooled`, in temporary files.
    QString overBudget(const char* what, bool spooled = false) const;
    // The 413's warning, naming the bound passed: a request's, or `multipart`, a multipart body's.
    QString tooLarge(bool multipart = false) const;
    void releaseBudgets();
    bool takeMemory(qint64 bytes);
    bool bookParsed(qint64 bytes);
    qint64 maxRequestSize() const;
    qint64 maxMultiPartSize() const;

    QMultiMap<QString, QString> headerMap;
    QMultiMap<QString, QString> parameters;
    QMap<QString, QTemporaryFile*> uploadedFiles;
    QMap<QString, QString> uploadedFileTypes;
    QMap<QString, QString> cookies;
    QByteArray body;
    QString method;
    QString path;
    QString fullPath;
    QString version;
    RequestStatus status = WaitForRequest;
    QByteArray boundary;
    qint64 currentSize = 0;
    qint64 expectedBodySize = 0;
    QString currentHeader;
    QTemporaryFile tempFile;
    HttpConnection* connection;
    QDateTime created;

    AbortReason abortReason = NotAborted;
    QByteArray lineBuffer;        // a line whose line feed has not arrived yet
    qint64 currentHeaderSize = 0; // the last header line with its continuations
    int headerLines = 0;
    QList<QTemporaryFile*> uploads; // every upload ever made, deleted with the request
    bool continueExpected = false;
    qint64 memoryTaken = 0;  // of the server's budgets
    qint64 headerBytes = 0;  // request line and header lines as read
    qint64 headerBooked = 0; // of them, against the memory budget
    qint64 diskTaken = 0;
    bool spoolTaken = false;
    qint64 spooledBytes = 0;   // of the multipart body, in tempFile
    bool countingForm = false; // a form body: its parameters are counted as it arrives
    int formParts = 0;         // with the cookies
    bool formPartOpen = false;
    bool formEnded = false;  // past its first NUL, which ends the form's text
    qint64 parsedBytes = 0;  // parameters and cookies as built
    qint64 parsedBooked = 0; // of them, against the memory budget
};

} // namespace QuillonHttpd
