// "Newest request wins": several requests for the same thing (a recording's sound, the recording
// being opened) may be under way at once, and only the answer to the last one asked still counts.
//
//   const waveform = newestWins();
//   const current = waveform.begin();   // before asking
//   const reply = await call(…);
//   if (!current()) return;             // a newer request (or drop()) came since
export function newestWins() {
  let newest = 0;
  return {
    begin() {
      const id = ++newest;
      return () => id === newest;
    },
    // No answer under way counts any more.
    drop() {
      newest += 1;
    },
  };
}
