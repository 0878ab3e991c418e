#include "httprequest.h"

#include "httpcapacity.h"
#include "httpconnection.h"
#include "httplog.h"
#include "httpsettings.h"

#include <QDebug>
#include <QIODevice>
#include <QRegularExpression>

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
    capacity->giveMemory(memoryTaken);
    capacity->giveDisk(diskTaken);
    memoryTaken = diskTaken = 0;
}

bool HttpRequest::takeMemory(qint64 bytes)
{
    if (!connection->capacity()->takeMemory(bytes, connection->settings()->maxBufferedBytes)) return false;
    memoryTaken += bytes;
    return true;
}

QTemporaryFile* HttpRequest::uploadedFile(const QString& fieldName) const
{
    QTemporaryFile* file = uploadedFiles.value(fieldName);
    if (!file) return nullptr;
    if (!file->isOpen() && !file->open()) {
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
std::function<bool()> refusalLineFilter;
}

void HttpRequest::setRefusalLineFilter(std::function<bool()> filter)
{
    refusalLineFilter = std::move(filter);
}

void HttpRequest::abort(AbortReason reason, const char* message)
{
    status = Abort;
    abortReason = reason;
    lineBuffer.clear();
    // Nothing of an aborted request is served: what it holds goes at once.
    body = QByteArray();
    parameters.clear();
    uploadedFiles.clear();
    uploadedFileTypes.clear();
    qDeleteAll(uploads);
    uploads.clear();
    if (tempFile.isOpen()) tempFile.close();
    if (!tempFile.fileName().isEmpty()) tempFile.remove();
    releaseBudgets();
    if (!refusalLineFilter || refusalLineFilter()) qWarning("%s", message);
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
        abort(TooLarge, "HttpRequest: request is too large (maxRequestSize)");
    else if (status == Complete) {
        parseParameters();
        parseCookies();
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
                abort(Unavailable, "HttpRequest: request headers in memory would pass maxBufferedBytes");
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
        abort(TooLarge, "HttpRequest: expected body is too large");
        return;
    }
    if (!boundary.isEmpty() && expectedBodySize > maxMultiPartSize()) {
        abort(TooLarge, "HttpRequest: expected multipart body is too large");
        return;
    }
    // The whole declared body is booked before its first byte, so the budgets hold however the
    // bodies of many clients interleave.
    if (boundary.isEmpty()) {
        if (!takeMemory(expectedBodySize)) {
            abort(Unavailable, "HttpRequest: request bodies in memory would pass maxBufferedBytes");
            return;
        }
        body.reserve(int(expectedBodySize));
    } else {
        if (!connection->capacity()->takeDisk(expectedBodySize, connection->settings()->maxBufferedBytes)) {
            abort(Unavailable, "HttpRequest: request bodies in temporary files would pass maxBufferedBytes");
            return;
        }
        diskTaken = expectedBodySize;
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
            body += bytes;
        }
        if (body.size() >= expectedBodySize) status = Complete;
        return;
    }
    if (!tempFile.isOpen() && !tempFile.open()) {
        qCritical("HttpRequest: error writing temp file, %s", qPrintable(tempFile.errorString()));
        abort(Unavailable, "HttpRequest: cannot spool the multipart body");
        return;
    }
    const qint64 spooled = tempFile.size();
    const qint64 n = qMin(qMin(expectedBodySize - spooled, maxPartLine), socket->bytesAvailable());
    if (n > 0) {
        const QByteArray bytes = socket->read(n);
        if (tempFile.write(bytes) != bytes.size()) {
            qCritical("HttpRequest: error writing temp file, %s", qPrintable(tempFile.errorString()));
            abort(Unavailable, "HttpRequest: cannot spool the multipart body");
            return;
        }
    }
    const qint64 total = tempFile.size();
    if (total >= maxMultiPartSize()) {
        abort(TooLarge, "HttpRequest: received too many multipart bytes");
    } else if (total >= expectedBodySize) {
        tempFile.flush();
        parseMultiPart();
        if (status == Abort) return;
        // Its parts are cut out: the spooled body is no longer needed on disk.
        tempFile.close();
        tempFile.remove();
        status = Complete;
    }
}

void HttpRequest::parseMultiPart()
{
    const QByteArray delimiter = "--" + boundary;
    // A delimiter line is the delimiter, "--" for the last one, then only white space.
    auto delimiterLine = [&](const QByteArray& line, bool* last) {
        if (!line.startsWith(delimiter)) return false;
        QByteArray rest = line.mid(delimiter.size());
        *last = rest.startsWith("--");
        if (*last) rest.remove(0, 2);
        return rest.trimmed().isEmpty();
    };
    static const QRegularExpression contentTypePrefix(QStringLiteral("^Content-Type:\\s*"),
                                                      QRegularExpression::CaseInsensitiveOption);

    tempFile.seek(0);
    bool finished = false;
    bool unsupportedLogged = false; // one line a request, however many such lines it holds
    int parts = 0;
    while (!tempFile.atEnd() && tempFile.error() == QFileDevice::NoError && !finished) {
        QString fieldName, fileName, contentType;
        while (!tempFile.atEnd() && tempFile.error() == QFileDevice::NoError) {
            const QByteArray raw = tempFile.readLine(maxPartLine + 1).trimmed();
            if (raw.isEmpty()) break;
            if (raw.startsWith(delimiter)) continue;
            const QString line = QString::fromUtf8(raw);
            if (line.startsWith(QLatin1String("Content-Disposition:"), Qt::CaseInsensitive) &&
                line.contains(QLatin1String("form-data"), Qt::CaseInsensitive)) {
                auto quoted = [&](const QString& marker) {
                    const int at = line.indexOf(marker, 0, Qt::CaseInsensitive);
                    if (at < 0) return QString();
                    const int start = at + marker.size();
                    const int end = line.indexOf(QLatin1Char('"'), start);
                    return end < 0 ? QString() : line.mid(start, end - start);
                };
                fieldName = quoted(QStringLiteral(" name=\""));
                fileName = quoted(QStringLiteral(" filename=\""));
            } else if (line.startsWith(QLatin1String("Content-Type:"), Qt::CaseInsensitive)) {
                contentType = QString(line).remove(contentTypePrefix);
            } else if (!unsupportedLogged) {
                unsupportedLogged = true;
                qDebug() << "HttpRequest: ignoring unsupported content part" << logCut(line);
            }
        }
        if (tempFile.atEnd()) break;
        if (++parts > connection->settings()->maxMultiPartParts) {
            abort(TooLarge, "HttpRequest: too many multipart parts (maxMultiPartParts)");
            return;
        }

        const bool isFile = !fileName.isEmpty() && !fieldName.isEmpty();
        QTemporaryFile* upload = nullptr;
        if (isFile) {
            // Created before the data, so an empty file part stores an empty file.
            upload = new QTemporaryFile;
            uploads.append(upload);
            if (!upload->open()) {
                qCritical("HttpRequest: error writing temp file, %s", qPrintable(upload->errorString()));
                abort(Unavailable, "HttpRequest: cannot store an uploaded file");
                return;
            }
        }
        QByteArray fieldValue;
        QByteArray tail; // last bytes of the part, to drop the CR LF that belongs to the delimiter
        bool atLineStart = true, found = false;
        while (!tempFile.atEnd() && tempFile.error() == QFileDevice::NoError) {
            const QByteArray line = tempFile.readLine(maxPartLine + 1);
            if (atLineStart && delimiterLine(line, &finished)) {
                found = true;
                break;
            }
            atLineStart = line.endsWith('\n');
            tail = (tail + line).right(2);
            if (!fileName.isEmpty() || fieldName.isEmpty()) {
                if (upload && upload->write(line) != line.size()) {
                    // A file cut short must not reach the handler as if it were whole.
                    qCritical("HttpRequest: error writing temp file, %s", qPrintable(upload->errorString()));
                    abort(Unavailable, "HttpRequest: cannot store an uploaded file");
                    return;
                }
                continue;
            }
            currentSize += line.size();
            if (currentSize > maxRequestSize()) {
                abort(TooLarge, "HttpRequest: request is too large (maxRequestSize)");
                return;
            }
            if (!takeMemory(line.size())) {
                abort(Unavailable, "HttpRequest: request bodies in memory would pass maxBufferedBytes");
                return;
            }
            fieldValue += line;
        }
        if (!found) break;
        const int cut = tail.endsWith("\r\n") ? 2 : tail.endsWith('\n') ? 1 : 0;
        if (isFile) {
            upload->resize(qMax<qint64>(0, upload->size() - cut));
            // Closed once written: a request holds no more than its spool and the current part.
            upload->close();
            parameters.insert(fieldName, fileName);
            uploadedFiles.insert(fieldName, upload);
            uploadedFileTypes.insert(fieldName, contentType);
        } else if (!fieldName.isEmpty()) {
            fieldValue.chop(cut);
            parameters.insert(fieldName, utf8UpToNul(fieldValue));
        }
    }
    if (tempFile.error() != QFileDevice::NoError)
        qCritical("HttpRequest: cannot read temp file, %s", qPrintable(tempFile.errorString()));
}

void HttpRequest::parseParameters()
{
    QString text;
    if (header(QStringLiteral("Content-Type")).toLower() !=
        QLatin1String("application/x-www-form-urlencoded")) {
        const int q = path.indexOf(QLatin1Char('?'));
        if (q >= 0) {
            text = path.mid(q + 1);
            path.truncate(q);
        }
    } else {
        text = utf8UpToNul(body);
    }
    const QStringList parts = text.split(QLatin1Char('&'), Qt::KeepEmptyParts);
    for (const QString& part : parts) {
        if (part.isEmpty()) continue;
        const int eq = part.indexOf(QLatin1Char('='));
        if (eq < 0)
            parameters.insert(urlDecode(part), QString());
        else
            parameters.insert(urlDecode(part.left(eq).trimmed()), urlDecode(part.mid(eq + 1).trimmed()));
    }
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

bool isAsciiSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

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
