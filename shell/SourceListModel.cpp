#include "shell/SourceListModel.h"

#include <QColor>

namespace shell {

int SourceListModel::addFile(const std::string& path) {
    if (list_.isEmpty()) {
        int row = list_.addFile(path);
        emit dataChanged(index(row, 0), index(row, 0));
        return row;
    }
    int row = list_.rowCount();
    beginInsertRows(QModelIndex(), row, row);
    list_.addFile(path);
    endInsertRows();
    return row;
}

void SourceListModel::clear() {
    beginResetModel();
    list_.clear();
    endResetModel();
}

int SourceListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : list_.rowCount(); }

int SourceListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 1; }

QVariant SourceListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.column() != 0 || index.row() >= list_.rowCount()) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole: return QString::fromStdString(list_.text(index.row()));
        case Qt::BackgroundRole: return QColor(255, 255, 191);  // light yellow cells
        default: return {};
    }
}

}  // namespace shell
