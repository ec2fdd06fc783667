// SPDX-License-Identifier: MIT
#pragma once

#include <QMainWindow>
#include <QVBoxLayout>
#include <iostream>
#include <memory>
#include <optional>

#include "locations.h"
#include "report_copy.h"
#include "uninstaller.h"

// The program's one window: a logo, a title, a prompt and one button per uninstall mode.
class BrinvastUninstallerGUI : public QMainWindow {
    Q_OBJECT

private:
    // Declared before `uninstaller`, so that they outlive the engine that writes to them.
    brinvast::Locations locations;
    ReportCopy report_copy;
    std::ostream report;

public:
    // `where` and `destination`, where the report goes, are the program's own locations and
    // standard output unless a test points the window somewhere else.
    explicit BrinvastUninstallerGUI(
        const brinvast::Locations& where = brinvast::program_locations(),
        std::ostream& destination = std::cout);
    ~BrinvastUninstallerGUI() override;

    void init_ui();
    void standard_uninstall();
    void complete_removal();
    void run_uninstaller(bool dry_run, bool force, bool clean_all);

    // The engine of the latest run; empty until the first one.
    std::unique_ptr<brinvast::BrinvastUninstaller> uninstaller;

private:
    void add_heading(QVBoxLayout& layout);
    void add_mode_buttons(QVBoxLayout& layout);
    [[nodiscard]] std::string preview(bool clean_all);
    [[nodiscard]] std::optional<brinvast::RunLock> lock_home();
    [[nodiscard]] bool show_outcome(bool success, bool offer_administrator);
    [[nodiscard]] std::string program_for_administrator();
    void try_again_as_administrator(const std::string& program, bool clean_all);
};
