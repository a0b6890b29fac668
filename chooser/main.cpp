// npcorvane-chooser: the certificate chooser the signing library starts on the Linux desktop.
// It reads what to show from standard input (chooser_protocol.hpp), shows one GTK 4 window and
// writes the user's answer to standard output, then ends.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "chooser_protocol.hpp"

namespace {

using npc::chooser::request;

// The answer goes out on a descriptor of its own: standard output is pointed at standard error,
// so that nothing GLib or a module prints can be read as an answer.
std::FILE* answers = nullptr;

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), answers);
  std::fflush(answers);
}

// One line of standard input without its "\n"; false at the end of input or past the limit.
bool read_line(std::string& line) {
  line.clear();
  for (int c; (c = std::getchar()) != EOF;) {
    if (c == '\n') return true;
    if (line.size() + 1 >= npc::chooser::LINE_LIMIT) return false;
    line += static_cast<char>(c);
  }
  return false;
}

struct window_state {
  const request* shown = nullptr;
  GtkWidget* window = nullptr;
  GtkWidget* list = nullptr;
  GtkWidget* choose = nullptr;
  std::string answer;
  bool done = false;
};

void finish(window_state& state, std::string answer) {
  if (state.done) return;
  state.answer = std::move(answer);
  state.done = true;
}

const npc::chooser::item* item_of(window_state& state, GtkListBoxRow* row) {
  if (!row) return nullptr;
  const auto index = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(row), "npc-index"));
  return &state.shown->items.at(index);
}

void choose_row(window_state& state, GtkListBoxRow* row) {
  const auto* entry = item_of(state, row);
  // Only a row that can be chosen ever answers; an expired one is shown to be recognised.
  if (entry && entry->choosable()) finish(state, "CHOSEN " + npc::chooser::escape(entry->key));
}

void on_row_selected(GtkListBox*, GtkListBoxRow* row, gpointer data) {
  auto& state = *static_cast<window_state*>(data);
  const auto* entry = item_of(state, row);
  gtk_widget_set_sensitive(state.choose, entry && entry->choosable());
}

void on_row_activated(GtkListBox*, GtkListBoxRow* row, gpointer data) {
  choose_row(*static_cast<window_state*>(data), row);
}

void on_choose(GtkButton*, gpointer data) {
  auto& state = *static_cast<window_state*>(data);
  choose_row(state, gtk_list_box_get_selected_row(GTK_LIST_BOX(state.list)));
}

void on_cancel(GtkButton*, gpointer data) { finish(*static_cast<window_state*>(data), "CANCELLED"); }

gboolean on_close(GtkWindow*, gpointer data) {
  finish(*static_cast<window_state*>(data), "CANCELLED");
  return TRUE;
}

gboolean on_escape(GtkWidget*, GVariant*, gpointer data) {
  finish(*static_cast<window_state*>(data), "CANCELLED");
  return TRUE;
}

// Unanswered for too long, the dialog gives up as pinentry does, so the host can go on.
gboolean on_timeout(gpointer data) {
  finish(*static_cast<window_state*>(data), "CANCELLED");
  return G_SOURCE_REMOVE;
}

// The library gone (its end of the socket closed): nobody is left to answer.
gboolean on_input_closed(gint, GIOCondition, gpointer data) {
  finish(*static_cast<window_state*>(data), "CANCELLED");
  return G_SOURCE_REMOVE;
}

// With the cursor on a row that cannot be chosen, nothing stays selected: Choose must not take
// a row the user has moved away from.
void on_unchoosable_focus(GtkEventControllerFocus*, gpointer data) {
  gtk_list_box_unselect_all(GTK_LIST_BOX(static_cast<window_state*>(data)->list));
}

GtkWidget* text_label(const std::string& text, const char* css_class = nullptr) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  if (css_class) gtk_widget_add_css_class(label, css_class);
  return label;
}

// A button with a mnemonic. Its label is a child of its own rather than the button's label
// property, from which GTK would make the accessible name twice over ("_Cancel Cancel").
GtkWidget* mnemonic_button(const std::string& text) {
  GtkWidget* label = gtk_label_new_with_mnemonic(text.c_str());
  GtkWidget* button = gtk_button_new();
  gtk_button_set_child(GTK_BUTTON(button), label);
  gtk_label_set_mnemonic_widget(GTK_LABEL(label), button);
  return button;
}

GtkWidget* make_row(window_state& state, std::size_t index) {
  const npc::chooser::item& entry = state.shown->items[index];
  const auto& label = state.shown->label;
  const std::string issuer = label.issuer + ": " + entry.issuer;
  const std::string until = label.valid_until + ": " + entry.valid_until;
  const std::string token = label.token + ": " + entry.token;

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
  gtk_widget_set_margin_top(box, 6);
  gtk_widget_set_margin_bottom(box, 6);
  gtk_widget_set_margin_start(box, 8);
  gtk_widget_set_margin_end(box, 8);
  gtk_box_append(GTK_BOX(box), text_label(entry.name, "heading"));
  gtk_box_append(GTK_BOX(box), text_label(issuer));
  gtk_box_append(GTK_BOX(box), text_label(until));
  gtk_box_append(GTK_BOX(box), text_label(token));
  if (!entry.choosable()) gtk_box_append(GTK_BOX(box), text_label(entry.note, "error"));

  GtkWidget* row = gtk_list_box_row_new();
  gtk_list_box_row_set_child(GTK_LIST_BOX_ROW(row), box);
  g_object_set_data(G_OBJECT(row), "npc-index", GSIZE_TO_POINTER(index));
  // A screen reader reads the row as one sentence rather than four loose labels.
  std::string spoken = entry.name + ", " + issuer + ", " + until + ", " + token;
  if (!entry.choosable()) spoken += ", " + entry.note;
  gtk_accessible_update_property(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_PROPERTY_LABEL, spoken.c_str(), -1);
  if (!entry.choosable()) {
    gtk_widget_add_css_class(box, "dim-label");
    gtk_list_box_row_set_selectable(GTK_LIST_BOX_ROW(row), FALSE);
    gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(row), FALSE);
    // Still focusable, so that keyboard and screen-reader users meet it too, but announced as
    // unavailable, with the reason.
    gtk_accessible_update_state(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_STATE_DISABLED, TRUE, -1);
    gtk_accessible_update_property(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                   entry.note.c_str(), -1);
    GtkEventController* focus = gtk_event_controller_focus_new();
    g_signal_connect(focus, "enter", G_CALLBACK(on_unchoosable_focus), &state);
    gtk_widget_add_controller(row, focus);
  }
  return row;
}

void build_window(window_state& state) {
  const request& shown = *state.shown;
  state.window = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(state.window), shown.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(state.window), 600, 420);
  g_signal_connect(state.window, "close-request", G_CALLBACK(on_close), &state);

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_widget_set_margin_top(content, 18);
  gtk_widget_set_margin_bottom(content, 18);
  gtk_widget_set_margin_start(content, 18);
  gtk_widget_set_margin_end(content, 18);
  gtk_window_set_child(GTK_WINDOW(state.window), content);

  GtkWidget* heading = text_label(shown.heading);
  gtk_box_append(GTK_BOX(content), heading);

  state.list = gtk_list_box_new();
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(state.list), GTK_SELECTION_SINGLE);
  gtk_accessible_update_property(GTK_ACCESSIBLE(state.list), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 shown.label.list.c_str(), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 shown.heading.c_str(), -1);
  GtkWidget* scrolled = gtk_scrolled_window_new();
  gtk_scrolled_window_set_has_frame(GTK_SCROLLED_WINDOW(scrolled), TRUE);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  gtk_widget_set_vexpand(scrolled, TRUE);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), state.list);
  gtk_accessible_update_property(GTK_ACCESSIBLE(scrolled), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 shown.label.list.c_str(), -1);
  gtk_box_append(GTK_BOX(content), scrolled);

  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_widget_set_halign(buttons, GTK_ALIGN_END);
  GtkWidget* cancel = mnemonic_button(shown.label.cancel);
  state.choose = mnemonic_button(shown.label.choose);
  gtk_widget_add_css_class(state.choose, "suggested-action");
  gtk_box_append(GTK_BOX(buttons), cancel);
  gtk_box_append(GTK_BOX(buttons), state.choose);
  gtk_box_append(GTK_BOX(content), buttons);
  g_signal_connect(cancel, "clicked", G_CALLBACK(on_cancel), &state);
  g_signal_connect(state.choose, "clicked", G_CALLBACK(on_choose), &state);
  gtk_widget_set_sensitive(state.choose, FALSE);

  // With nothing to list, the list says so; the user can only cancel, and the page learns no
  // more than from any other cancel.
  GtkWidget* empty = text_label(shown.label.empty, "dim-label");
  gtk_widget_set_margin_top(empty, 12);
  gtk_widget_set_margin_bottom(empty, 12);
  gtk_label_set_xalign(GTK_LABEL(empty), 0.5);
  gtk_list_box_set_placeholder(GTK_LIST_BOX(state.list), empty);
  GtkListBoxRow* first_choosable = nullptr;
  for (std::size_t i = 0; i < shown.items.size(); ++i) {
    GtkWidget* row = make_row(state, i);
    gtk_list_box_append(GTK_LIST_BOX(state.list), row);
    if (!first_choosable && shown.items[i].choosable()) first_choosable = GTK_LIST_BOX_ROW(row);
  }
  g_signal_connect(state.list, "row-selected", G_CALLBACK(on_row_selected), &state);
  g_signal_connect(state.list, "row-activated", G_CALLBACK(on_row_activated), &state);

  GtkEventController* keys = gtk_shortcut_controller_new();
  gtk_shortcut_controller_add_shortcut(
      GTK_SHORTCUT_CONTROLLER(keys),
      gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_Escape, static_cast<GdkModifierType>(0)),
                       gtk_callback_action_new(on_escape, &state, nullptr)));
  gtk_widget_add_controller(state.window, keys);

  // The keyboard starts in the list, on the first certificate that can be chosen: Enter takes
  // it, the arrows move, Tab reaches the buttons, Escape cancels.
  GtkListBoxRow* first = gtk_list_box_get_row_at_index(GTK_LIST_BOX(state.list), 0);
  GtkWidget* start = first_choosable ? GTK_WIDGET(first_choosable) : first ? GTK_WIDGET(first) : cancel;
  if (first_choosable) gtk_list_box_select_row(GTK_LIST_BOX(state.list), first_choosable);
  gtk_window_set_focus(GTK_WINDOW(state.window), start);
  gtk_window_present(GTK_WINDOW(state.window));
}

}  // namespace

int main() {
  const int answer_fd = ::dup(STDOUT_FILENO);
  if (answer_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;
  answers = ::fdopen(answer_fd, "w");
  if (!answers) return 1;
  say(std::string(npc::chooser::GREETING));

  npc::chooser::request_reader reader;
  for (std::string line; !reader.complete();) {
    // The library gave up before SHOW: there is nobody to answer.
    if (!read_line(line)) return 0;
    if (!reader.feed(line)) {
      say("ERR " + reader.error());
      return 1;
    }
  }
  g_set_prgname("npcorvane-chooser");
  if (!gtk_init_check()) {
    say("ERR no display to show the chooser on");
    return 1;
  }
  window_state state;
  state.shown = &reader.result();
  build_window(state);
  g_timeout_add_seconds(static_cast<guint>(state.shown->timeout_s), on_timeout, &state);
  g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_input_closed,
                &state);
  while (!state.done) g_main_context_iteration(nullptr, TRUE);
  say(state.answer);
  gtk_window_destroy(GTK_WINDOW(state.window));
  return 0;
}
