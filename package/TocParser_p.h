#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

// What a xar table of contents says about the heap, read from its XML: where
// the TOC's checksum and signatures lie and which certificates come with
// them, and every heap region of a file (its data, and its extended
// attributes) with the checksum it must have. Offsets and sizes are in bytes
// from the start of the heap. Nothing else of the TOC is kept.
struct TocRegion
{
    qint64 offset = -1; // -1: not given
    qint64 size = -1;
};

struct TocSignature
{
    QString style;
    TocRegion region;
    QList<QByteArray> certificates; // DER, in the TOC's order (the signer's first)
};

struct TocFileData
{
    QString path; // names of the enclosing files, joined by "/"
    TocRegion region;
    QString checksumStyle; // of <archived-checksum>; empty when there is none
    QByteArray checksum;   // its bytes, from hex
    QString encoding;      // the style of its <encoding>; empty when there is none
};

struct Toc
{
    std::optional<QString> checksumStyle; // no value: the TOC has no <checksum>
    TocRegion checksum;
    std::optional<TocSignature> signature;    // <signature>
    std::optional<TocSignature> cmsSignature; // <x-signature>
    std::vector<TocFileData> files;
};

// Reads xml into toc. False, with refusal saying why (to follow the
// package's name), for XML that is not well-formed or carries a DTD, a
// document that is not <xar><toc>, and anything given twice where one is
// meant: two checksums or signatures of one kind, two offsets in one place,
// two <data> in one file, two names of one file that differ, a number or hex digest that is not one.
[[nodiscard]] bool readToc(const QByteArray &xml, Toc &toc, QString &refusal);
