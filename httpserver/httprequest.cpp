#include "httprequest.h"

#include "httpcapacity.h"
#include "httpconnection.h"
#include "httplog.h"
#include "httpsettings.h"

#include <QDebug>
#include <QIODevice>
#include <QRegularExpression>
#include <cstring>

namespace QuillonHttpd {

namespace {

// UTF-8 text of the bytes up to their first NUL.
QString utf8UpToNul(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

bool plainDigits(const QString& text)
{
    if (text.isEmpty()) return false;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    }
    return true;
}

bool isAsciiSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The text parameters are read from: the form body (up to its first NUL) or the query, which
// is then taken off the path.
bool isForm(const QString& contentType)
{
    return contentType.toLower() == QLatin1String("application/x-www-form-urlencoded");
}

// Calls `each` with every part of `text` between separators, empty ones included; stops early
// when `each` returns false.
template <typename Each> void forEachPart(const QByteArray& text, char separator, Each each)
{
    const char* s = text.constData();
    const int n = text.size();
    for (int from = 0; from <= n;) {
        const char* hit = static_cast<const char*>(memchr(s + from, separator, size_t(n - from)));
        const int to = hit ? int(hit - s) : n;
        if (!each(s + from, to - from)) return;
        from = to + 1;
    }
}

} // namespace

HttpRequest::HttpRequest(HttpConnection* connection)
    : connection(connection), created(QDateTime::currentDateTime())
{
}

HttpRequest::~HttpRequest()
{
    qDeleteAll(uploads);
    releaseBudgets();
}

void HttpRequest::releaseBudgets()
{
    HttpCapacity* capacity = connection->capacity();
    capacity->giveMemoryFor(connection, memoryTaken);
    capacity->giveDisk(diskTaken);
    memoryTaken = diskTaken = 0;
    if (spoolTaken) capacity->giveSpool();
    spoolTaken = false;
}

bool HttpRequest::takeMemory(qint64 bytes)
{
    if (!connection->capacity()->takeMemoryFor(connection, bytes, connection->settings()->maxBufferedBytes))
        return false;
    memoryTaken += bytes;
    return true;
}

// Like the header bytes, the first headerAllowance bytes of parsed parameters and cookies are
// not booked: an ordinary request never meets the budget.
bool HttpRequest::bookParsed(qint64 bytes)
{
    parsedBytes += bytes;
    const qint64 over = parsedBytes - headerAllowance - parsedBooked;
    if (over <= 0) return true;
    if (!takeMemory(over)) return false;
    parsedBooked += over;
    return true;
}

QTemporaryFile* HttpRequest::uploadedFile(const QString& fieldName) const
{
    QTemporaryFile* file = uploadedFiles.value(fieldName);
    if (!file) return nullptr;
    if (!file->isOpen() && !file->open()) {
        if (lineWanted("http temporary file", 2))
            qCritical("HttpRequest: cannot read temp file, %s", qPrintable(file->errorString()));
        return nullptr;
    }
    file->seek(0);
    return file;
}

qint64 HttpRequest::maxRequestSize() const
{
    return connection->settings()->maxRequestSize;
}

qint64 HttpRequest::maxMultiPartSize() const
{
    return connection->settings()->maxMultiPartSize;
}

QString HttpRequest::statusText(int status)
{
    switch (status) {
    case WaitForRequest:
        return QStringLiteral("Wait for Request");
    case WaitForHeader:
        return QStringLiteral("Wait for Header");
    case WaitForBody:
        return QStringLiteral("Wait for Body");
    case Complete:
        return QStringLiteral("Complete");
    case Abort:
        return QStringLiteral("Abort");
    }
    return QString();
}

QString HttpRequest::statusText() const
{
    return statusText(status);
}

namespace {
// The client's address as its operator writes it: an IPv4 client on the dual-stack listener
// without its IPv6 mapping.
QString clientText(const QHostAddress& address)
{
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip).toString() : address.toString();
}
} // namespace

QString HttpRequest::overBudget(const char* what, bool spooled) const
{
    return QStringLiteral(
               "HttpRequest: request %1 would pass the %2 that the requests of all clients together "
               "may hold %3")
        .arg(QLatin1String(what), sizeText(connection->settings()->maxBufferedBytes),
             spooled ? QStringLiteral("in temporary files") : QStringLiteral("in memory"));
}

QString HttpRequest::tooLarge(bool multipart) const
{
    if (multipart)
        return QStringLiteral("HttpRequest: multipart body reaching the %1 bound of multipart bodies")
            .arg(sizeText(maxMultiPartSize()));
    return QStringLiteral("HttpRequest: request larger than the %1 a request may have")
        .arg(sizeText(maxRequestSize()));
}

void HttpRequest::abort(AbortReason reason, const char* message)
{
    abort(reason, QString::fromLatin1(message));
}

void HttpRequest::abort(AbortReason reason, const QString& message)
{
    status = Abort;
    abortReason = reason;
    lineBuffer.clear();
    // Nothing of an aborted request is served: what it holds goes at once.
    body = QByteArray();
    parameters.clear();
    cookies.clear();
    uploadedFiles.clear();
    uploadedFileTypes.clear();
    qDeleteAll(uploads);
    uploads.clear();
    if (tempFile.isOpen()) tempFile.close();
    if (!tempFile.fileName().isEmpty()) tempFile.remove();
    releaseBudgets();
    // Who caused it, where the connection knows (a request parsed on its own has no client).
    if (lineWanted("http request refused", 3)) {
        const QHostAddress peer = connection->getPeerAddress();
        if (peer.isNull())
            qWarning("%s", qPrintable(message));
        else
            qWarning("%s (client %s)", qPrintable(message), qPrintable(clientText(peer)));
    }
}

void HttpRequest::readFromSocket(QIODevice* socket)
{
    switch (status) {
    case WaitForRequest:
        readRequest(socket);
        break;
    case WaitForHeader:
        readHeader(socket);
        break;
    case WaitForBody:
        readBody(socket);
        break;
    default:
        return;
    }
    if (status != Abort && currentSize > maxRequestSize())
        abort(TooLarge, tooLarge());
    else if (status == Complete && !parametersWithinCap())
        abort(TooLarge, "HttpRequest: too many parameters (query, form and cookies)");
    else if (status == Complete) {
        parseParameters();
        if (status == Complete) parseCookies();
    }
}

// A line counts only once its line feed has arrived; until then its bytes wait in lineBuffer,
// which never holds more than the cap (the line's text plus CR LF).
bool HttpRequest::takeLine(QIODevice* socket, qint64 cap, QByteArray& line)
{
    const qint64 room = qMin(cap + 2 - lineBuffer.size(), socket->bytesAvailable());
    if (room > 0) {
        const int before = lineBuffer.size();
        lineBuffer += socket->readLine(room + 1);
        // Header bytes past the allowance are held like body bytes: 256 clients with 6 MiB of
        // headers each would otherwise take gigabytes.
        headerBytes += lineBuffer.size() - before;
        const qint64 over = headerBytes - headerAllowance - headerBooked;
        if (over > 0) {
            if (!takeMemory(over)) {
                abort(Unavailable, overBudget("headers"));
                return false;
            }
            headerBooked += over;
        }
    }
    if (!lineBuffer.endsWith('\n')) {
        if (lineBuffer.size() >= cap + 2)
            abort(TooLarge, cap == maxRequestLine ? "HttpRequest: request line is too long"
                                                  : "HttpRequest: header line is too long");
        return false;
    }
    line.swap(lineBuffer);
    lineBuffer.clear();
    line = line.trimmed();
    if (line.size() > cap) {
        abort(TooLarge, cap == maxRequestLine ? "HttpRequest: request line is too long"
                                              : "HttpRequest: header line is too long");
        return false;
    }
    currentSize += line.size();
    return true;
}

void HttpRequest::readRequest(QIODevice* socket)
{
    QByteArray line;
    if (!takeLine(socket, maxRequestLine, line) || line.isEmpty()) return;
    const QStringList parts = QString::fromUtf8(line).split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (parts.size() != 3 || !parts.at(2).contains(QLatin1String("HTTP"))) {
        abort(Malformed, "HttpRequest: received broken HTTP request, invalid first line");
        return;
    }
    method = parts.at(0);
    path = parts.at(1);
    version = parts.at(2);
    fullPath = path;
    status = WaitForHeader;
    connection->setObjectName(path);
}

void HttpRequest::readHeader(QIODevice* socket)
{
    QByteArray line;
    if (!takeLine(socket, maxHeaderLine, line)) return;
    if (line.isEmpty()) {
        endOfHeaders();
        return;
    }
    if (++headerLines > maxHeaderLines) {
        abort(TooLarge, "HttpRequest: too many header lines");
        return;
    }
    const int colon = line.indexOf(':');
    if (colon > 0 && (line.at(colon - 1) == ' ' || line.at(colon - 1) == '\t')) {
        // "Transfer-Encoding :" would pass our checks and mean chunked to a proxy in front.
        abort(Malformed, "HttpRequest: malformed request, white space before a header colon");
        return;
    }
    if (colon > 0) {
        currentHeader = QString::fromUtf8(line.left(colon));
        currentHeaderSize = line.size();
        headerMap.insert(currentHeader, QString::fromUtf8(line.mid(colon + 1)).trimmed());
        return;
    }
    // A continuation joins the header read last, replacing its stored value.
    currentHeaderSize += 1 + line.size();
    if (currentHeaderSize > maxHeaderLine) {
        abort(TooLarge, "HttpRequest: header line is too long");
        return;
    }
    auto it = headerMap.find(currentHeader);
    if (it == headerMap.end())
        headerMap.insert(currentHeader, QLatin1Char(' ') + QString::fromUtf8(line));
    else
        it.value() += QLatin1Char(' ') + QString::fromUtf8(line);
}

void HttpRequest::endOfHeaders()
{
    const QString contentType = header(QStringLiteral("Content-Type"));
    if (contentType.startsWith(QLatin1String("multipart/form-data"), Qt::CaseInsensitive)) {
        const int at = contentType.indexOf(QLatin1String("boundary="), 0, Qt::CaseInsensitive);
        if (at >= 0) {
            QString b = contentType.mid(at + 9);
            const int semicolon = b.indexOf(QLatin1Char(';'));
            if (semicolon >= 0) b.truncate(semicolon);
            b = b.trimmed();
            if (b.size() >= 2 && b.startsWith(QLatin1Char('"')) && b.endsWith(QLatin1Char('"')))
                b = b.mid(1, b.size() - 2);
            boundary = b.toUtf8();
        }
    }

    // A body whose end we cannot be sure of would be read as a next request: refuse it.
    bool lengthSeen = false;
    for (auto it = headerMap.cbegin(); it != headerMap.cend(); ++it) {
        const QString name = it.key().toLower();
        if (name == QLatin1String("transfer-encoding")) {
            abort(Malformed, "HttpRequest: malformed request, Transfer-Encoding is not accepted");
            return;
        }
        if (name != QLatin1String("content-length")) continue;
        const QString text = it.value();
        if (!plainDigits(text)) {
            abort(Malformed, "HttpRequest: malformed request, Content-Length is not a decimal number");
            return;
        }
        QString digits = text;
        while (digits.size() > 1 && digits.startsWith(QLatin1Char('0')))
            digits.remove(0, 1);
        const qint64 size = digits.size() > 18 ? std::numeric_limits<qint64>::max() : digits.toLongLong();
        if (lengthSeen && size != expectedBodySize) {
            abort(Malformed, "HttpRequest: malformed request, two different Content-Length values");
            return;
        }
        lengthSeen = true;
        expectedBodySize = size;
    }

    if (expectedBodySize <= 0) {
        status = Complete;
        return;
    }
    if (boundary.isEmpty() && expectedBodySize > maxRequestSize() - currentSize) {
        abort(TooLarge, tooLarge());
        return;
    }
    if (!boundary.isEmpty() && expectedBodySize > maxMultiPartSize()) {
        abort(TooLarge, tooLarge(true));
        return;
    }
    // The whole declared body is booked before its first byte, so the budgets hold however the
    // bodies of many clients interleave.
    if (boundary.isEmpty()) {
        if (!takeMemory(expectedBodySize)) {
            abort(Unavailable, overBudget("bodies"));
            return;
        }
        body.reserve(int(expectedBodySize));
    } else {
        if (!connection->capacity()->takeDisk(expectedBodySize, connection->settings()->maxBufferedBytes)) {
            abort(Unavailable, overBudget("bodies", true));
            return;
        }
        diskTaken = expectedBodySize;
        // Its descriptors, too, are counted before any is opened.
        if (!connection->capacity()->takeSpool(connection->settings()->maxSpools)) {
            abort(Unavailable,
                  QStringLiteral(
                      "HttpRequest: the %1 multipart bodies that may be spooled at once are all taken")
                      .arg(connection->settings()->maxSpools));
            return;
        }
        spoolTaken = true;
    }
    if (boundary.isEmpty() && isForm(header(QStringLiteral("Content-Type")))) {
        countingForm = true;
        formParts = cookieParts();
    }
    continueExpected =
        header(QStringLiteral("Expect")).compare(QLatin1String("100-continue"), Qt::CaseInsensitive) == 0;
    status = WaitForBody;
}

void HttpRequest::readBody(QIODevice* socket)
{
    if (boundary.isEmpty()) {
        const qint64 n = qMin(expectedBodySize - body.size(), socket->bytesAvailable());
        if (n > 0) {
            const QByteArray bytes = socket->read(n);
            currentSize += bytes.size();
            if (countingForm && !countFormParts(bytes.constData(), bytes.size())) {
                abort(TooLarge, "HttpRequest: too many parameters (query, form and cookies)");
                return;
            }
            body += bytes;
        }
        if (body.size() >= expectedBodySize) status = Complete;
        return;
    }
    if (!tempFile.isOpen() && !tempFile.open()) {
        if (lineWanted("http temporary file", 2))
            qCritical("HttpRequest: error writing temp file, %s", qPrintable(tempFile.errorString()));
        abort(Unavailable, "HttpRequest: cannot spool the multipart body");
        return;
    }
    const qint64 n = qMin(qMin(expectedBodySize - spooledBytes, maxPartLine), socket->bytesAvailable());
    if (n > 0) {
        // Straight from the socket's buffer to the file: a body of megabytes is copied once here.
        char bytes[maxPartLine];
        const qint64 got = socket->read(bytes, n);
        if (got > 0 && tempFile.write(bytes, got) != got) {
            if (lineWanted("http temporary file", 2))
                qCritical("HttpRequest: error writing temp file, %s", qPrintable(tempFile.errorString()));
            abort(Unavailable, "HttpRequest: cannot spool the multipart body");
            return;
        }
        spooledBytes += qMax<qint64>(0, got);
    }
    const qint64 total = spooledBytes;
    if (total >= maxMultiPartSize()) {
        abort(TooLarge, tooLarge(true));
    } else if (total >= expectedBodySize) {
        tempFile.flush();
        parseMultiPart();
        if (status == Abort) return;
        // Its parts are cut out: the spooled body is no longer needed on disk.
        tempFile.close();
        tempFile.remove();
        if (spoolTaken) connection->capacity()->giveSpool();
        spoolTaken = false;
        status = Complete;
    }
}

namespace {

bool startsWithNoCase(const char* s, int n, const char* prefix)
{
    const int k = int(strlen(prefix));
    return n >= k && qstrnicmp(s, prefix, uint(k)) == 0;
}

// The spooled body read in blocks: part header lines, and part data up to the next delimiter
// line handed on in blocks too, so that a body of millions of short lines costs one search
// through it rather than a read, a buffer and a write per line.
class SpoolScanner
{
public:
    static constexpr int block = 65536;

    SpoolScanner(QFile& file, QByteArray delimiter, qint64 maxLine)
        : file(file), delimiter(std::move(delimiter)), maxLine(maxLine),
          lineFeedDelimiter('\n' + this->delimiter)
    {
    }

    bool atEnd() { return !have(1); }
    bool failed() const { return file.error() != QFileDevice::NoError; }

    // The next line with its line feed, at most maxLine bytes (a longer one comes in pieces);
    // valid until the next call.
    bool line(const char** text, int* length)
    {
        if (!have(1)) return false;
        int n = 0;
        for (;;) {
            const int span = buffer.size() - pos;
            const char* from = buffer.constData() + pos;
            const void* feed = memchr(from + n, '\n', size_t(span - n));
            if (feed) {
                n = int(static_cast<const char*>(feed) - from) + 1;
                break;
            }
            n = span;
            if (n >= maxLine || !have(n + 1)) break;
        }
        n = int(qMin<qint64>(n, maxLine));
        *text = buffer.constData() + pos;
        *length = n;
        pos += n;
        return true;
    }

    // Hands `data` every byte up to the next delimiter line that stands at a line start, less
    // the line break before it, and consumes that line. False when the body ends first.
    template <typename Data> bool partData(Data data, bool* last, qint64* cut)
    {
        bool lineStart = true;
        for (;;) {
            // A delimiter at the very start of the data, then after every line feed.
            int at = -1;
            if (lineStart && extend(pos + delimiter.size()) && isDelimiterLine(pos, last)) {
                at = pos;
            } else {
                int from = pos;
                for (;;) {
                    const int hit = buffer.indexOf(lineFeedDelimiter, from);
                    if (hit < 0) break;
                    if (isDelimiterLine(hit + 1, last)) {
                        at = hit + 1;
                        break;
                    }
                    from = hit + 1;
                }
            }
            if (at >= 0) {
                // The line break before the delimiter belongs to it.
                *cut = at - pos >= 2 && buffer.at(at - 2) == '\r' && buffer.at(at - 1) == '\n' ? 2
                       : at - pos >= 1 && buffer.at(at - 1) == '\n'                            ? 1
                                                                                               : 0;
                if (!data(buffer.constData() + pos, at - pos - int(*cut))) return false;
                pos = at;
                skipDelimiterLine();
                return true;
            }
            // What may still begin a delimiter (with the CR LF before it) is kept for the next block.
            const int keep = lineFeedDelimiter.size() + 1;
            const int safe = buffer.size() - keep;
            if (safe > pos) {
                if (!data(buffer.constData() + pos, safe - pos)) return false;
                pos = safe;
                lineStart = false;
            }
            if (!have(buffer.size() - pos + 1)) {
                *cut = 0;
                return false;
            }
        }
    }

private:
    // At least `n` unread bytes in the buffer, reading blocks as needed; false at the end.
    bool have(qint64 n)
    {
        if (buffer.size() - pos >= n) return true;
        if (pos > 0) {
            buffer.remove(0, pos);
            pos = 0;
        }
        return extend(n);
    }
    // The same without moving what is buffered, so that offsets into it stay valid.
    bool extend(qint64 n)
    {
        while (buffer.size() < n && !file.atEnd() && !failed()) {
            // Read into the buffer itself, not through a block of its own.
            const int before = buffer.size();
            const qint64 want = qMax<qint64>(block, n - before);
            buffer.resize(before + int(want));
            const qint64 got = file.read(buffer.data() + before, want);
            buffer.resize(before + int(qMax<qint64>(0, got)));
            if (got <= 0) break;
        }
        return buffer.size() >= n;
    }

    // The delimiter, "--" for the last one, then only white space up to the line feed (looked at
    // within maxLine bytes, as a line is read).
    bool isDelimiterLine(int at, bool* last)
    {
        if (buffer.size() - at < delimiter.size() ||
            memcmp(buffer.constData() + at, delimiter.constData(), size_t(delimiter.size())) != 0)
            return false;
        int i = delimiter.size();
        const bool isLast = extend(at + i + 2) && buffer.at(at + i) == '-' && buffer.at(at + i + 1) == '-';
        if (isLast) i += 2;
        for (; i < maxLine; ++i) {
            if (!extend(at + i + 1)) break;
            const char c = buffer.at(at + i);
            if (c == '\n') break;
            if (!isAsciiSpace(c)) return false;
        }
        *last = isLast;
        return true;
    }

    void skipDelimiterLine()
    {
        const char* text;
        int length;
        line(&text, &length);
    }

    QFile& file;
    const QByteArray delimiter;
    const qint64 maxLine;
    const QByteArray lineFeedDelimiter;
    QByteArray buffer;
    int pos = 0;
};

} // namespace

void HttpRequest::parseMultiPart()
{
    static const QRegularExpression contentTypePrefix(QStringLiteral("^Content-Type:\\s*"),
                                                      QRegularExpression::CaseInsensitiveOption);
    const QByteArray delimiter = "--" + boundary;
    tempFile.seek(0);
    SpoolScanner spool(tempFile, delimiter, maxPartLine);
    bool finished = false;
    bool unsupportedLogged = false; // one line a request, however many such lines it holds
    int parts = 0;
    while (!spool.atEnd() && !spool.failed() && !finished) {
        QString fieldName, fileName, contentType;
        const char* text = nullptr;
        int length = 0;
        while (spool.line(&text, &length)) {
            while (length > 0 && isAsciiSpace(text[length - 1]))
                --length;
            while (length > 0 && isAsciiSpace(*text)) {
                ++text;
                --length;
            }
            if (length == 0) break;
            if (length >= delimiter.size() &&
                memcmp(text, delimiter.constData(), size_t(delimiter.size())) == 0)
                continue;
            if (startsWithNoCase(text, length, "Content-Disposition:")) {
                const QString line = QString::fromUtf8(text, length);
                if (line.contains(QLatin1String("form-data"), Qt::CaseInsensitive)) {
                    auto quoted = [&](const QString& marker) {
                        const int at = line.indexOf(marker, 0, Qt::CaseInsensitive);
                        if (at < 0) return QString();
                        const int start = at + marker.size();
                        const int end = line.indexOf(QLatin1Char('"'), start);
                        return end < 0 ? QString() : line.mid(start, end - start);
                    };
                    fieldName = quoted(QStringLiteral(" name=\""));
                    fileName = quoted(QStringLiteral(" filename=\""));
                    continue;
                }
            } else if (startsWithNoCase(text, length, "Content-Type:")) {
                contentType = QString::fromUtf8(text, length).remove(contentTypePrefix);
                continue;
            }
            if (!unsupportedLogged) {
                unsupportedLogged = true;
                if (lineWanted("http multipart part ignored", 5))
                    qDebug() << "HttpRequest: ignoring unsupported content part"
                             << logCut(QString::fromUtf8(text, length));
            }
        }
        if (spool.atEnd()) break;
        if (++parts > connection->settings()->maxMultiPartParts) {
            abort(TooLarge,
                  QStringLiteral("HttpRequest: multipart body of more than the %1 parts a body may have")
                      .arg(connection->settings()->maxMultiPartParts));
            return;
        }

        const bool isFile = !fileName.isEmpty() && !fieldName.isEmpty();
        QTemporaryFile* upload = nullptr;
        if (isFile) {
            // Created before the data, so an empty file part stores an empty file.
            upload = new QTemporaryFile;
            uploads.append(upload);
            if (!upload->open()) {
                if (lineWanted("http temporary file", 2))
                    qCritical("HttpRequest: error writing temp file, %s", qPrintable(upload->errorString()));
                abort(Unavailable, "HttpRequest: cannot store an uploaded file");
                return;
            }
        }
        QByteArray fieldValue;
        auto take = [&](const char* bytes, int n) {
            if (n <= 0) return true;
            if (upload) {
                if (upload->write(bytes, n) == n) return true;
                // A file cut short must not reach the handler as if it were whole.
                if (lineWanted("http temporary file", 2))
                    qCritical("HttpRequest: error writing temp file, %s", qPrintable(upload->errorString()));
                abort(Unavailable, "HttpRequest: cannot store an uploaded file");
                return false;
            }
            if (fieldName.isEmpty() || !fileName.isEmpty()) return true;
            currentSize += n;
            if (currentSize > maxRequestSize()) {
                abort(TooLarge, tooLarge());
                return false;
            }
            if (!takeMemory(n)) {
                abort(Unavailable, overBudget("bodies"));
                return false;
            }
            fieldValue.append(bytes, n);
            return true;
        };
        qint64 cut = 0;
        const bool found = spool.partData(take, &finished, &cut);
        if (status == Abort) return;
        if (!found) break;
        if (isFile) {
            upload->flush();
            // Closed once written: a request holds no more than its spool and the current part.
            upload->close();
            parameters.insert(fieldName, fileName);
            uploadedFiles.insert(fieldName, upload);
            uploadedFileTypes.insert(fieldName, contentType);
        } else if (!fieldName.isEmpty()) {
            // The line break before the delimiter counts as the field's bytes did before it.
            currentSize += cut;
            if (currentSize > maxRequestSize()) {
                abort(TooLarge, tooLarge());
                return;
            }
            parameters.insert(fieldName, utf8UpToNul(fieldValue));
        }
    }
    if (spool.failed() && lineWanted("http temporary file", 2))
        qCritical("HttpRequest: cannot read temp file, %s", qPrintable(tempFile.errorString()));
}

int HttpRequest::cookieParts() const
{
    int count = 0;
    for (const QString& value : headers(QStringLiteral("Cookie"))) {
        if (count > maxParameters) break;
        forEachPart(value.toUtf8(), ';', [&](const char*, int) { return ++count <= maxParameters; });
    }
    return count;
}

bool HttpRequest::parametersWithinCap() const
{
    int count = parameters.size() + cookieParts();
    auto counted = [&](const char*, int length) { return (count += length > 0 ? 1 : 0) <= maxParameters; };
    if (isForm(header(QStringLiteral("Content-Type")))) {
        const int nul = body.indexOf('\0');
        forEachPart(nul < 0 ? body : body.left(nul), '&', counted);
    } else {
        const int q = path.indexOf(QLatin1Char('?'));
        if (q >= 0) forEachPart(path.mid(q + 1).toUtf8(), '&', counted);
    }
    return count <= maxParameters;
}

// Counted as the form body arrives, so that a body of millions of parameters is refused at the
// first one past the cap, not once its megabytes are all in memory.
bool HttpRequest::countFormParts(const char* bytes, qint64 n)
{
    for (qint64 i = 0; i < n && !formEnded; ++i) {
        const char c = bytes[i];
        if (c == '\0') {
            formEnded = true;
        } else if (c != '&') {
            formPartOpen = true;
        } else if (formPartOpen) {
            formPartOpen = false;
            if (++formParts > maxParameters) return false;
        }
    }
    return formParts + (formPartOpen ? 1 : 0) <= maxParameters;
}

// Each part is decoded on its own, so a form body of megabytes is never held a second time as
// one text nor as a list; every entry is booked against the memory budget as it is made.
void HttpRequest::parseParameters()
{
    QByteArray text;
    if (!isForm(header(QStringLiteral("Content-Type")))) {
        const int q = path.indexOf(QLatin1Char('?'));
        if (q >= 0) {
            text = path.mid(q + 1).toUtf8();
            path.truncate(q);
        }
    } else {
        const int nul = body.indexOf('\0');
        text = nul < 0 ? body : body.left(nul);
    }
    forEachPart(text, '&', [&](const char* bytes, int length) {
        if (length == 0) return true;
        const QString part = QString::fromUtf8(bytes, length);
        const int eq = part.indexOf(QLatin1Char('='));
        QString name, value;
        if (eq < 0) {
            name = urlDecode(part);
        } else {
            name = urlDecode(part.left(eq).trimmed());
            value = urlDecode(part.mid(eq + 1).trimmed());
        }
        if (!bookParsed(entryCost(name, value))) {
            abort(Unavailable, overBudget("parameters"));
            return false;
        }
        parameters.insert(name, value);
        return true;
    });
}

void HttpRequest::parseCookies()
{
    const QList<QString> values = headers(QStringLiteral("Cookie"));
    for (const QString& value : values) {
        const QStringList parts = value.split(QLatin1Char(';'), Qt::KeepEmptyParts);
        for (const QString& part : parts) {
            QString name, content;
            const int eq = part.indexOf(QLatin1Char('='));
            if (eq < 0) {
                name = part;
            } else {
                name = part.left(eq).trimmed();
                content = part.mid(eq + 1).trimmed();
            }
            if (name.startsWith(QLatin1Char('$'))) continue;
            if (!bookParsed(entryCost(name, content))) {
                abort(Unavailable, overBudget("cookies"));
                return;
            }
            cookies.insert(name, content);
        }
    }
}

QString HttpRequest::header(const QString& name) const
{
    const QString wanted = name.toLower();
    for (auto it = headerMap.cbegin(); it != headerMap.cend(); ++it) {
        if (it.key().toLower() == wanted) return it.value();
    }
    return QString();
}

QList<QString> HttpRequest::headers(const QString& name) const
{
    const QString wanted = name.toLower();
    for (auto it = headerMap.cbegin(); it != headerMap.cend(); ++it) {
        if (it.key().toLower() == wanted) return headerMap.values(it.key());
    }
    return {};
}

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The escape after a "%": the (at most) two characters that follow, read as a hexadecimal number
// the lenient way the decoding has always read them (white space around the digits, a minus
// sign, a single digit at the end of the text or before a NUL). -1 when they are no number.
int escapeValue(char a, char b, int length)
{
    if (length >= 1 && a == '\0') length = 0;
    if (length == 2 && b == '\0') length = 1;
    if (length == 1) return hexValue(a);
    if (length != 2) return -1;
    const int ha = hexValue(a), hb = hexValue(b);
    if (ha >= 0 && hb >= 0) return ha * 16 + hb;
    if (ha >= 0 && isAsciiSpace(b)) return ha;
    if (isAsciiSpace(a) && hb >= 0) return hb;
    if (a == '-' && hb >= 0) return uchar(char(-hb));
    return -1;
}

} // namespace

// One pass: an escape is decoded where it stands and never read again, "+" is a blank.
QString HttpRequest::urlDecode(const QString& text)
{
    const QByteArray in = text.toUtf8();
    const char* s = in.constData();
    const int n = in.size();
    QByteArray out;
    out.reserve(n);
    auto at = [&](int i) { return s[i] == '+' ? ' ' : s[i]; };
    for (int i = 0; i < n;) {
        const char c = at(i);
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        const int length = qMin(2, n - i - 1);
        const int value = escapeValue(length > 0 ? at(i + 1) : '\0', length > 1 ? at(i + 2) : '\0', length);
        if (value < 0) {
            out += '%';
            ++i;
            continue;
        }
        out += char(value);
        i += 1 + length;
    }
    return utf8UpToNul(out);
}

} // namespace QuillonHttpd
