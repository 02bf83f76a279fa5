#pragma once

#include <QByteArray>
#include <QList>

#include <zlib.h>

namespace velmora::test {

// A PDF of these objects (numbered from 1 in order), with its cross-reference table.
inline QByteArray pdfOf(const QList<QByteArray>& objects) {
    QByteArray pdf("%PDF-1.4\n");
    QList<qsizetype> offsets;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets.append(pdf.size());
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const qsizetype offset : offsets) {
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    }
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

// A stream object of this dictionary (its /Length added) around `data`.
inline QByteArray streamOf(const QByteArray& dictionary, const QByteArray& data) {
    return "<< " + dictionary + " /Length " + QByteArray::number(data.size()) + " >>\nstream\n" + data +
           "\nendstream";
}

// The bytes as a Flate stream holds them.
inline QByteArray deflated(const QByteArray& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.constData()),
             uLong(raw.size()));
    out.resize(qsizetype(size));
    return out;
}

} // namespace velmora::test
