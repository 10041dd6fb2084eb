// The office's profile template: the user profile an office made on its first start, kept
// per user so that later offices start from a copy of it. LibreOffice ends once after
// making a new profile and has to be started again; an office that starts from the
// template starts once.
//
// Where: $DOCMILL_PROFILE_TEMPLATE, else $XDG_CACHE_HOME/docmill/office-profile, else
// $HOME/.cache/docmill/office-profile. That folder holds `template`: the profile's `user`
// folder without its settings file (each office gets its settings written anew, never
// from the template) and a stamp naming the office installation that made it, so that
// another installation or an upgrade makes its own. Without a usable place (a system user
// without a home folder, a home that belongs to somebody else) every office makes a fresh
// profile, as before the template existed.
//
// A template is made in a private folder beside it and put in place in one step, so a
// reader sees a whole template or none; of two processes making one at once, the second
// discards its own. It is used only when nobody but root and this user can change it: it
// and the folders above it belong to them and are not writable by others, and it holds
// only folders and regular files (links are never followed). One that somebody else
// controls is neither used nor removed: offices make fresh profiles and a warning names
// it. One of ours that broke (unreadable, a file missing, another installation's stamp) is
// made anew from the next fresh profile.
//
// Nothing here raises: a template that cannot be used or made costs a start, nothing more.
// The caller owns the profile folders it passes.
#pragma once

#include <string>

namespace docmill::office_server {

class ProfileTemplate {
 public:
  // The template of the office installed in `programFolder`, in this user's place for it.
  static ProfileTemplate forInstallation(const std::string& programFolder);

  // Copies the template to `userFolder` (a profile's `user` folder, which must not exist).
  // True when the copy is whole; otherwise `userFolder` is an empty folder, for a fresh
  // profile.
  bool copyTo(const std::string& userFolder);
  // `userFolder` belongs to a profile that an office made and then ended to be started
  // again, so it holds what a start needs: keeps a copy of it as the template, unless a
  // sound one is in place already or the place is not ours. An office that started from
  // the template and still had to be started again shows the template to be of no use; it
  // is replaced.
  void keep(const std::string& userFolder);

  // The folder that holds the template; "" when there is none.
  const std::string& place() const { return place_; }

 private:
  enum class State { NoPlace, Unknown, Missing, Used, Damaged, Untrusted };

  ProfileTemplate(std::string place, std::string stamp);
  void distrust(const std::string& problem);

  std::string place_;
  std::string stamp_;
  State state_ = State::NoPlace;
};

}  // namespace docmill::office_server
