// Runs a fuzz harness over its corpus, the test vectors, without libFuzzer: every input whole
// and cut at every length, each in a buffer of exactly its size so that the sanitizers see any
// read past the end. With --write-corpus DIR the inputs are written as files for libFuzzer.
//   NAME_replay [--prefix HEX] [--write-corpus DIR] FILE[:SECTION,SECTION] ...

#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QByteArray prefix;
    QString corpus_dir;
    QList<QByteArray> inputs;
    while (!args.isEmpty()) {
        const QString arg = args.takeFirst();
        if (arg == QLatin1String("--prefix") && !args.isEmpty()) {
            prefix = testsupport::hex(args.takeFirst());
        } else if (arg == QLatin1String("--write-corpus") && !args.isEmpty()) {
            corpus_dir = args.takeFirst();
        } else {
            const QString file = arg.section(QLatin1Char(':'), 0, 0);
            const QStringList sections = arg.section(QLatin1Char(':'), 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
            for (const testsupport::Vector& v : testsupport::read_vectors(file))
                if ((sections.isEmpty() || sections.contains(v.section)) && !v.fields.isEmpty() && v.fields[0] != "-")
                    inputs << prefix + testsupport::vector_bytes(v.fields[0], 1700006700);
        }
    }
    if (inputs.isEmpty()) {
        fprintf(stderr, "no corpus inputs\n");
        return 2;
    }
    if (!corpus_dir.isEmpty()) {
        QDir().mkpath(corpus_dir);
        for (const QByteArray& in : inputs) {
            QFile f(corpus_dir + QLatin1Char('/') + QCryptographicHash::hash(in, QCryptographicHash::Sha1).toHex());
            if (!f.open(QIODevice::WriteOnly) || f.write(in) != in.size())
                return 1;
        }
        printf("%d corpus files in %s\n", int(inputs.size()), qPrintable(corpus_dir));
        return 0;
    }
    long runs = 0;
    for (const QByteArray& in : inputs)
        for (int n = prefix.size(); n <= in.size(); ++n) {
            const std::unique_ptr<uint8_t[]> exact(new uint8_t[size_t(qMax(1, n))]);
            std::memcpy(exact.get(), in.constData(), size_t(n));
            LLVMFuzzerTestOneInput(exact.get(), size_t(n));
            ++runs;
        }
    printf("replayed %d corpus inputs, %ld runs, clean\n", int(inputs.size()), runs);
    return 0;
}
