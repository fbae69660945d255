#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

class QAction;
class QMenu;
class QTableView;
class QToolBar;
class QWidget;
class TChartWindow;
struct TLabStatusView;
class TRegisterDocument;

// What the main window lends a feature it installs (the archive window, the
// lab server, the report, the chart's ties): where the feature's commands go,
// the register's data and the window's own boxes. The main window fills it
// in and outlives every connection a feature makes through it, so a feature
// never needs the main window's own header.
struct TFeatureHost {
    QWidget* Window = nullptr; // parent of the feature's windows, context of its connections
    TRegisterDocument* Doc = nullptr;
    QString ConfigPath; // the settings file
    QMenu* FileMenu = nullptr;
    QMenu* ViewMenu = nullptr;
    QToolBar* ToolBar = nullptr;
    QAction* ChartAction = nullptr;        // "График"
    QAction* PrintPreviewAction = nullptr; // the report goes after it
    QTableView* Grid = nullptr;            // the results table as shown

    std::function<quint16()> DeviceNumber;
    std::function<QString()> PortName;
    // The window's error box as it stands when called: tests answer it.
    std::function<void(const QString& caption, const QString& text)> ErrorBox;
    // Replaces the table by make's, offering unsaved data for saving first.
    std::function<void(const std::function<void()>& make)> NewTable;
    // The table's chart window; null until first shown.
    std::function<TChartWindow*()> Chart;
    std::function<void(const TLabStatusView& view)> ShowLab;
};
