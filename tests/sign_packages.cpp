// Signs packages for the end-to-end tests with the tests' signer, all by one
// test authority whose root it writes:
//     tarnwick-sign-packages ROOT.der FOLDER
// Each folder X inside FOLDER becomes the package X.pkg beside it, signed by
// the authority's Developer ID Installer leaf (team A1B2C3D4E5). Its files,
// each optional: Distribution (none: a component package), PackageInfo,
// Example.pkg/PackageInfo (compressed as xar does; stored as they are when
// X holds a file named "stored").
#include "PackageSigner.h"

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace {

bool readFile(const QString &path, QByteArray &content)
{
    QFile file(path);
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        std::exit(1);
    }
    content = file.readAll();
    return true;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size() &&
           file.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: tarnwick-sign-packages ROOT.der FOLDER\n");
        return 2;
    }
    const TestPki pki;
    if (!writeFile(QString::fromLocal8Bit(argv[1]), pki.rootDer()))
        return 1;
    const QDir folder(QString::fromLocal8Bit(argv[2]));
    for (const QString &name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir files(folder.filePath(name));
        PackageRecipe recipe;
        recipe.pki = &pki;
        recipe.signer = pki.installer;
        recipe.chain = {pki.developerIdCa, pki.root};
        if (!readFile(files.filePath(QStringLiteral("Distribution")), recipe.distribution))
            recipe.distribution.clear();
        for (const char *path : {"PackageInfo", "Example.pkg/PackageInfo"}) {
            QByteArray content;
            if (readFile(files.filePath(QString::fromLatin1(path)), content))
                recipe.describing.append({path, content});
        }
        recipe.describingStored = files.exists(QStringLiteral("stored"));
        if (!writeFile(folder.filePath(name + QStringLiteral(".pkg")), signPackage(recipe).bytes))
            return 1;
    }
    return 0;
}
