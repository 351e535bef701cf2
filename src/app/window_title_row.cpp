// The main window's title row as the page draws it: moving, maximising, minimising and closing the
// window, and the application menu's entries, on the page's request.

#include <gtk/gtk.h>

#include "app/main_window_controller.h"
#include "core/queue.h"

namespace marlune {

namespace {

// One attribute of a menu entry as text; "" when it is missing or not text.
std::string attributeText(GMenuModel* model, int index, const char* name) {
    gchar* value = nullptr;
    if (!g_menu_model_get_item_attribute(model, index, name, "s", &value)) return {};
    std::string text = value;
    g_free(value);
    return text;
}

// The entries of `model` in order, `section` collecting them; a section link starts a new one.
void collectItems(GMenuModel* model, Json& sections) {
    for (int i = 0; i < g_menu_model_get_n_items(model); ++i) {
        if (GMenuModel* section = g_menu_model_get_item_link(model, i, G_MENU_LINK_SECTION)) {
            sections.push_back(Json::array());
            collectItems(section, sections);
            g_object_unref(section);
            continue;
        }
        if (sections.empty()) sections.push_back(Json::array());
        Json item = Json::object();
        item["label"] = attributeText(model, i, G_MENU_ATTRIBUTE_LABEL);
        item["action"] = attributeText(model, i, G_MENU_ATTRIBUTE_ACTION);
        if (auto accel = attributeText(model, i, "accel"); !accel.empty()) item["accel"] = accel;
        sections.back().push_back(std::move(item));
    }
}

}  // namespace

void MainWindowController::beginMoveDrag() {
    MARLUNE_ASSERT_ON(Queue::main());
    // The press must still be held: a drag started after the release would follow the pointer
    // with no button down.
    if (isBarMode_ || pressedButton_ == 0) return;
    gtk_window_begin_move_drag(window_, static_cast<int>(pressedButton_),
                               static_cast<int>(pressRootX_), static_cast<int>(pressRootY_),
                               pressTime_);
    pressedButton_ = 0;  // the window system owns the pointer now; no release reaches the page
}

void MainWindowController::toggleMaximized() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (isBarMode_) return;
    if (isMaximized()) {
        gtk_window_unmaximize(window_);
    } else {
        gtk_window_maximize(window_);
    }
}

void MainWindowController::minimize() {
    MARLUNE_ASSERT_ON(Queue::main());
    gtk_window_iconify(window_);
}

void MainWindowController::close() {
    MARLUNE_ASSERT_ON(Queue::main());
    onDelete(nullptr, nullptr, this);
}

bool MainWindowController::isMaximized() const {
    return gtk_window_is_maximized(window_);
}

Json MainWindowController::menuItems() const {
    Json sections = Json::array();
    if (menu_) collectItems(menu_, sections);
    return sections;
}

bool MainWindowController::activateMenuAction(const std::string& action) {
    MARLUNE_ASSERT_ON(Queue::main());
    bool listed = false;
    for (const Json& section : menuItems()) {
        for (const Json& item : section) listed = listed || item["action"] == action;
    }
    if (!listed || !action.starts_with("app.")) return false;
    GtkApplication* app = gtk_window_get_application(window_);
    if (!app) return false;
    g_action_group_activate_action(G_ACTION_GROUP(app), action.substr(4).c_str(), nullptr);
    return true;
}

}  // namespace marlune
