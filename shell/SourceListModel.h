// The source list as the grid shows it: one column, no header, row r holding
// the r-th path, the empty list as one empty row (sources::SourceList).
#pragma once

#include <QAbstractTableModel>

#include "sources/SourceList.h"

namespace shell {

class SourceListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    const sources::SourceList& list() const { return list_; }
    // AddFileToList's change of the rows; returns the row written.
    int addFile(const std::string& path);
    void clear();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    sources::SourceList list_;
};

}  // namespace shell
