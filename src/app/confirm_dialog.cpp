#include "app/confirm_dialog.h"

#include <gtk/gtk.h>

namespace marlune {

namespace {

struct Pending {
    std::function<void(bool)> done;

    void answer(bool ok) {
        if (!done) return;
        auto fn = std::move(done);
        done = nullptr;
        fn(ok);
    }
};

}  // namespace

GtkWidget* runConfirmDialog(GtkWindow* parent, const std::string& title, const std::string& message,
                            const std::string& okLabel, std::function<void(bool)> done) {
    GtkWidget* dialog = gtk_message_dialog_new(
        parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s", title.c_str());
    if (!message.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", message.c_str());
    }
    gtk_window_set_title(GTK_WINDOW(dialog), "Marlune Studio");
    // The page's labels are plain text: an underscore is shown, not taken as a mnemonic.
    GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), okLabel.c_str(), GTK_RESPONSE_OK);
    gtk_button_set_use_underline(GTK_BUTTON(ok), FALSE);
    gtk_button_set_label(GTK_BUTTON(ok), okLabel.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", GTK_RESPONSE_CANCEL);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    if (!parent) gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);

    auto* pending = new Pending{std::move(done)};
    g_signal_connect_data(dialog, "response",
                          G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
                              static_cast<Pending*>(data)->answer(response == GTK_RESPONSE_OK);
                              gtk_widget_destroy(GTK_WIDGET(d));
                          }),
                          pending, nullptr, GConnectFlags(0));
    // Destroyed without an answer (its parent went): still one reply.
    g_signal_connect_data(
        dialog, "destroy",
        G_CALLBACK(+[](GtkWidget*, gpointer data) { static_cast<Pending*>(data)->answer(false); }),
        pending, [](gpointer data, GClosure*) { delete static_cast<Pending*>(data); },
        GConnectFlags(0));
    gtk_widget_show_all(dialog);
    gtk_window_present(GTK_WINDOW(dialog));
    return dialog;
}

}  // namespace marlune
