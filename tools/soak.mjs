#!/usr/bin/env node
// Soak test: many fast games with every engine feature switched on, mixed per game, counting faults.
//
//   node tools/soak.mjs --engine ./build/tarnvik --games 3000 --seed 1
//
// Each game draws its mix from --seed and its number (--from N numbers the games from N, so that a long
// soak can be played in parts that together are the same games as one run): start (opening, Chess960 position, or a 5-6 man
// endgame that runs into the on-disk tablebases), opponent (a second Tarnvik process or a Debian
// engine; Chess960 is self-play only), Tarnvik's Threads 1|2, Ponder, MultiPV 1|3, Hash 1..64 MB,
// SyzygyPath (--tb or <empty>), and the limit (base+increment, repeating movestogo, movetime).
// Pondering is driven as a GUI does it: "go ponder" on the expected reply, then "ponderhit" or "stop"
// and a new search. Tarnvik processes live across games ("ucinewgame" between them) so that memory
// growth shows. Faults: illegal move, time loss (past the clock by more than --margin ms), crash,
// hang (no bestmove within the limit + --grace ms), malformed output (UCI grammar, legal pv/currmove/
// ponder moves). Opponents' faults are counted apart (an opponent past its time gets its clock back
// and the game goes on). Exit code 1 on any Tarnvik fault or when the resident memory at the end is
// more than 5% above the one after --rss-after games (both measured after "ucinewgame" at Hash 64,
// Threads 2 and no tablebase files, so that the figures compare).
// Needs only Node.js (the move generator is built in). --selftest checks it against perft suites.
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import readline from "node:readline";
import { performance } from "node:perf_hooks";

const FILES = "abcdefgh";
const sqName = (s) => FILES[s & 7] + (1 + (s >> 3));
const KN = [[1, 2], [2, 1], [2, -1], [1, -2], [-1, -2], [-2, -1], [-2, 1], [-1, 2]];
const KG = [[1, 0], [1, 1], [0, 1], [-1, 1], [-1, 0], [-1, -1], [0, -1], [1, -1]];
const DIAG = [[1, 1], [1, -1], [-1, 1], [-1, -1]], ORTH = [[1, 0], [-1, 0], [0, 1], [0, -1]];
const colour = (p) => (p < "a" ? "w" : "b");
const onBoard = (f, r) => f >= 0 && f < 8 && r >= 0 && r < 8;

// Board with Chess960 castling: rights are rook files; castling is written e1g1, or king takes own
// rook (e1h1) in Chess960 mode.
class Board {
  static fromFen(fen) {
    const [pl, turn, cas = "-", ep = "-", half, full] = fen.trim().split(/\s+/);
    const b = new Board();
    b.sq = Array(64).fill(null);
    let r = 7, f = 0;
    for (const ch of pl) {
      if (ch === "/") { r--; f = 0; } else if (ch >= "1" && ch <= "8") f += Number(ch); else b.sq[r * 8 + f++] = ch;
    }
    b.turn = turn === "b" ? "b" : "w";
    b.cr = { w: { a: null, h: null }, b: { a: null, h: null } };
    for (const ch of cas === "-" ? "" : cas) {
      const c = colour(ch), rank = c === "w" ? 0 : 7, R = c === "w" ? "R" : "r", lc = ch.toLowerCase();
      const kf = b.sq.slice(rank * 8, rank * 8 + 8).indexOf(c === "w" ? "K" : "k");
      if (kf < 0) continue;
      let file = null;
      if (lc === "k") { for (let x = 7; x > kf; x--) if (b.sq[rank * 8 + x] === R) { file = x; break; } }
      else if (lc === "q") { for (let x = 0; x < kf; x++) if (b.sq[rank * 8 + x] === R) { file = x; break; } }
      else file = lc.charCodeAt(0) - 97;
      if (file !== null && b.sq[rank * 8 + file] === R) b.cr[c][file > kf ? "h" : "a"] = file;
    }
    b.ep = ep !== "-" ? FILES.indexOf(ep[0]) + 8 * (Number(ep[1]) - 1) : -1;
    b.half = Number(half) || 0;
    b.full = Number(full) || 1;
    return b;
  }
  copy() {
    const b = new Board();
    Object.assign(b, this, { sq: this.sq.slice(), cr: { w: { ...this.cr.w }, b: { ...this.cr.b } }, _legal: null });
    return b;
  }
  king(c) { return this.sq.indexOf(c === "w" ? "K" : "k"); }
  attacked(s, by) {
    const f0 = s & 7, r0 = s >> 3, pc = (t) => (by === "w" ? t.toUpperCase() : t);
    const at = (f, r) => (onBoard(f, r) ? this.sq[r * 8 + f] : undefined);
    const pr = by === "w" ? r0 - 1 : r0 + 1;
    if (at(f0 - 1, pr) === pc("p") || at(f0 + 1, pr) === pc("p")) return true;
    for (const [df, dr] of KN) if (at(f0 + df, r0 + dr) === pc("n")) return true;
    for (const [df, dr] of KG) if (at(f0 + df, r0 + dr) === pc("k")) return true;
    for (const [dirs, x, q] of [[ORTH, pc("r"), pc("q")], [DIAG, pc("b"), pc("q")]])
      for (const [df, dr] of dirs)
        for (let f = f0 + df, r = r0 + dr; onBoard(f, r); f += df, r += dr) {
          const p = this.sq[r * 8 + f];
          if (p) { if (p === x || p === q) return true; break; }
        }
    return false;
  }
  legal() {
    if (this._legal) return this._legal;
    const us = this.turn, them = us === "w" ? "b" : "w", out = [];
    const own = (p) => p && colour(p) === us;
    const add = (from, to, extra = {}) => {
      const m = { from, to, ...extra }, nb = this.play(m);
      if (!nb.attacked(nb.king(us), them)) out.push(m);
    };
    for (let s = 0; s < 64; s++) {
      const p = this.sq[s];
      if (!own(p)) continue;
      const t = p.toLowerCase(), f0 = s & 7, r0 = s >> 3;
      if (t === "p") {
        const dir = us === "w" ? 1 : -1, r1 = r0 + dir;
        const push = (to) => ((to >> 3) === (us === "w" ? 7 : 0) ? [..."qrbn"].forEach((q) => add(s, to, { promo: q })) : add(s, to));
        if (!this.sq[r1 * 8 + f0]) {
          push(r1 * 8 + f0);
          if (r0 === (us === "w" ? 1 : 6) && !this.sq[(r0 + 2 * dir) * 8 + f0]) add(s, (r0 + 2 * dir) * 8 + f0);
        }
        for (const f of [f0 - 1, f0 + 1]) {
          if (!onBoard(f, r1)) continue;
          const to = r1 * 8 + f;
          if (this.sq[to] && colour(this.sq[to]) === them) push(to); else if (to === this.ep) add(s, to, { ep: true });
        }
      } else if (t === "n" || t === "k") {
        for (const [df, dr] of t === "n" ? KN : KG)
          if (onBoard(f0 + df, r0 + dr) && !own(this.sq[(r0 + dr) * 8 + f0 + df])) add(s, (r0 + dr) * 8 + f0 + df);
      } else {
        for (const [df, dr] of t === "b" ? DIAG : t === "r" ? ORTH : [...DIAG, ...ORTH])
          for (let f = f0 + df, r = r0 + dr; onBoard(f, r); f += df, r += dr) {
            const q = this.sq[r * 8 + f];
            if (own(q)) break;
            add(s, r * 8 + f);
            if (q) break;
          }
      }
    }
    const ks = this.king(us), rank = us === "w" ? 0 : 7;
    for (const side of ["a", "h"]) {
      const rf = this.cr[us][side];
      if (rf === null || ks >> 3 !== rank) continue;
      const rs = rank * 8 + rf, kt = rank * 8 + (side === "h" ? 6 : 2), rt = rank * 8 + (side === "h" ? 5 : 3);
      const tmp = this.copy();
      tmp.sq[ks] = tmp.sq[rs] = null;
      let ok = true;
      for (let x = Math.min(ks, kt, rs, rt); x <= Math.max(ks, kt, rs, rt); x++) if (tmp.sq[x]) ok = false;
      for (let x = Math.min(ks, kt); ok && x <= Math.max(ks, kt); x++) if (tmp.attacked(x, them)) ok = false;
      if (ok) out.push({ from: ks, to: kt, castle: side, rook: rs });
    }
    return (this._legal = out);
  }
  play(m) {
    const b = this.copy(), us = this.turn, p = this.sq[m.from];
    b.ep = -1;
    b.half++;
    if (m.castle) {
      b.sq[m.from] = b.sq[m.rook] = null;
      b.sq[m.to] = p;
      b.sq[(m.from & 56) + (m.castle === "h" ? 5 : 3)] = us === "w" ? "R" : "r";
    } else {
      if (this.sq[m.to] || p.toLowerCase() === "p") b.half = 0;
      if (m.ep) b.sq[m.to + (us === "w" ? -8 : 8)] = null;
      b.sq[m.to] = m.promo ? (us === "w" ? m.promo.toUpperCase() : m.promo) : p;
      b.sq[m.from] = null;
      if (p.toLowerCase() === "p" && Math.abs(m.to - m.from) === 16) b.ep = (m.from + m.to) / 2;
    }
    if (p.toLowerCase() === "k") b.cr[us] = { a: null, h: null };
    for (const c of ["w", "b"]) for (const side of ["a", "h"]) {
      const f = b.cr[c][side], s = (c === "w" ? 0 : 56) + f;
      if (f !== null && (s === m.from || s === m.to)) b.cr[c][side] = null;
    }
    b.turn = us === "w" ? "b" : "w";
    if (us === "b") b.full++;
    return b;
  }
  uci(m, c960) { return sqName(m.from) + sqName(m.castle && c960 ? m.rook : m.to) + (m.promo || ""); }
  find(text, c960) { return this.legal().find((m) => this.uci(m, c960) === text) || null; }
  key() { return this.sq.map((p) => p || ".").join("") + this.turn + JSON.stringify(this.cr) + this.ep; }
  inCheck() { return this.attacked(this.king(this.turn), this.turn === "w" ? "b" : "w"); }
  fen() {
    let pl = "";
    for (let r = 7; r >= 0; r--) {
      let e = 0;
      for (let f = 0; f < 8; f++) { const p = this.sq[r * 8 + f]; if (!p) e++; else { pl += (e || "") + p; e = 0; } }
      pl += (e || "") + (r ? "/" : "");
    }
    let cas = "";
    for (const c of ["w", "b"]) for (const side of ["h", "a"]) {
      const f = this.cr[c][side];
      if (f !== null) cas += c === "w" ? (side === "h" ? "K" : "Q") : side === "h" ? "k" : "q";
    }
    return `${pl} ${this.turn} ${cas || "-"} ${this.ep < 0 ? "-" : sqName(this.ep)} ${this.half} ${this.full}`;
  }
}

// Start position number n (0..959) of the standard numbering: light bishop, dark bishop, queen,
// knights by table, then rook, king, rook on the three squares left. 518 is the usual start.
function chess960(n) {
  const row = Array(8).fill(null), empty = () => row.map((p, i) => (p ? -1 : i)).filter((i) => i >= 0);
  row[2 * (n % 4) + 1] = "B"; n = Math.floor(n / 4);
  row[2 * (n % 4)] = "B"; n = Math.floor(n / 4);
  row[empty()[n % 6]] = "Q"; n = Math.floor(n / 6);
  const [k1, k2] = [[0, 1], [0, 2], [0, 3], [0, 4], [1, 2], [1, 3], [1, 4], [2, 3], [2, 4], [3, 4]][n];
  const e = empty();
  row[e[k1]] = row[e[k2]] = "N";
  const [r1, k, r2] = empty();
  row[r1] = row[r2] = "R"; row[k] = "K";
  const back = row.join("");
  return Board.fromFen(`${back.toLowerCase()}/pppppppp/8/8/8/8/PPPPPPPP/${back} w KQkq - 0 1`);
}

// Material whose captures lead into the five-man files, or that is one of them.
const ENDGAMES = ["KRPvKR", "KQRvKR", "KRBvKR", "KRNvKR", "KRRvKR", "KRPPvKR", "KRPvKRP", "KQRvKRP", "KRBvKRP", "KRRvKRP"];
function randomEndgame(rnd) {
  const mat = pick(rnd, ENDGAMES);
  for (;;) {
    const b = Board.fromFen("8/8/8/8/8/8/8/8 w - - 0 1"), strong = rnd() < 0.5 ? "w" : "b";
    b.turn = rnd() < 0.5 ? "w" : "b";
    mat.split("v").forEach((pieces, i) => {
      const c = (i === 0) === (strong === "w") ? "w" : "b";
      for (const ch of pieces) {
        let s;
        do s = Math.floor(rnd() * 64); while (b.sq[s] || (ch === "P" && (s < 8 || s >= 56)));
        b.sq[s] = c === "w" ? ch : ch.toLowerCase();
      }
    });
    if (!b.attacked(b.king(b.turn === "w" ? "b" : "w"), b.turn) && b.legal().length) return { board: b, name: mat };
  }
}

function mulberry32(a) {
  return () => {
    a = (a + 0x6d2b79f5) | 0;
    let t = Math.imul(a ^ (a >>> 15), 1 | a);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}
const pick = (rnd, xs) => xs[Math.floor(rnd() * xs.length)];

// ---- UCI output grammar ----
const INT_KEYS = new Set(["depth", "seldepth", "time", "nodes", "multipv", "hashfull", "nps", "tbhits", "currmovenumber", "cpuload", "sbhits"]);
const TARNVIK_KEYS = new Set(["depth", "seldepth", "time", "nodes", "multipv", "hashfull", "nps", "tbhits", "currmovenumber", "score", "pv", "currmove", "string"]);
// Returns a reason when the info line is malformed; fills ctx with its score and counters.
function checkInfo(tok, ctx, strict) {
  const got = {};
  for (let i = 1; i < tok.length;) {
    const k = tok[i++];
    if (strict && !TARNVIK_KEYS.has(k)) return `unknown field ${k}`;
    if (k === "string") return null;
    if (!ctx) return "search info outside a search";
    if (INT_KEYS.has(k)) {
      if (!/^\d+$/.test(tok[i] ?? "")) return `bad ${k} value`;
      got[k] = Number(tok[i++]);
      if (k === "hashfull" && got[k] > 1000) return "hashfull above 1000";
      if (k === "multipv" && strict && (got[k] < 1 || got[k] > ctx.multipv)) return "multipv out of range";
    } else if (k === "score") {
      const [t, v] = [tok[i++], tok[i++]];
      if ((t !== "cp" && t !== "mate") || !/^-?\d+$/.test(v ?? "")) return "bad score";
      got.score = t === "cp" ? Number(v) : Number(v) > 0 ? 100000 : -100000;
      if (tok[i] === "lowerbound" || tok[i] === "upperbound") i++;
    } else if (k === "currmove") {
      if (!ctx.board.find(tok[i++], ctx.c960)) return "illegal currmove";
    } else if (k === "pv") {
      if (i >= tok.length) return "empty pv";
      for (let b = ctx.board; i < tok.length; i++) {
        const m = b.find(tok[i], ctx.c960);
        if (!m) return `illegal pv move ${tok[i]}`;
        b = b.play(m);
      }
    } else if (!strict && (k === "refutation" || k === "currline")) {
      break;
    } else return `unknown field ${k}`;
  }
  if (got.score !== undefined && (got.multipv ?? 1) === 1) ctx.score = got.score;
  if (got.tbhits) ctx.tbhits = Math.max(ctx.tbhits, got.tbhits);
  if (got.depth) ctx.depth = Math.max(ctx.depth, got.depth);
  return null;
}

class Engine {
  constructor(cmd, name, tarnvik) { Object.assign(this, { cmd, name, tarnvik, restarts: -1, log: [] }); this.start(); }
  // Other engines may print a banner before "uciok"; Tarnvik's output is held to the grammar throughout.
  start() {
    const parts = this.cmd.split(" ").filter(Boolean);
    const proc = (this.proc = spawn(parts[0], parts.slice(1), { stdio: ["pipe", "pipe", "pipe"] }));
    Object.assign(this, { lines: [], waiters: [], dead: false, exitInfo: "", ctxs: [], bad: [], stderr: [], pondering: null, uciok: false });
    this.restarts++;
    // Lines still in the pipe are read before the process counts as dead; "close" alone can wait
    // for a grandchild that keeps a pipe open.
    proc.on("exit", (code, sig) => setTimeout(() => { if (proc !== this.proc) return; this.dead = true; this.exitInfo = sig ? `signal ${sig}` : `exit code ${code}`; this.wake(); }, 300));
    proc.on("error", (e) => { if (proc !== this.proc) return; this.dead = true; this.exitInfo = e.message; this.wake(); });
    proc.stdin.on("error", () => {});
    readline.createInterface({ input: proc.stdout }).on("line", (l) => proc === this.proc && this.onLine(l));
    readline.createInterface({ input: proc.stderr }).on("line", (l) => { this.stderr.push(l); if (this.stderr.length > 20) this.stderr.shift(); });
  }
  wake() { const w = this.waiters; this.waiters = []; w.forEach((f) => f()); }
  send(s) { this.log.push(`${this.name} > ${s}`); if (!this.dead) this.proc.stdin.write(s + "\n"); }
  onLine(l) {
    const t = performance.now(), tok = l.split(/\s+/).filter(Boolean), s = this.tarnvik ? l : l.trim();
    this.log.push(`${this.name} < ${l}`);
    let why = null, ctx;
    if (tok[0] === "info") why = checkInfo(tok, this.ctxs[0], this.tarnvik);
    else if (tok[0] === "bestmove") {
      ctx = this.ctxs.shift();
      if (!ctx) why = "bestmove without a search";
      else if (!/^bestmove \S+( ponder \S+)?$/.test(s)) why = "bad bestmove line";
    } else if (s === "uciok") this.uciok = true;
    else if (!(s === "readyok" || /^(id|option) /.test(s) || (!this.tarnvik && (s === "" || !this.uciok)))) why = "unknown line";
    if (why) this.bad.push(`${why}: "${l}"`);
    this.lines.push({ l: s, t, tok, ctx });
    this.wake();
  }
  async until(pred, ms) {
    const end = performance.now() + ms;
    for (;;) {
      while (this.lines.length) { const x = this.lines.shift(); if (pred(x)) return x; }
      if (this.dead) return null;
      const left = end - performance.now();
      if (left <= 0) return null;
      await new Promise((r) => { const tm = setTimeout(r, left); this.waiters.push(() => { clearTimeout(tm); r(); }); });
    }
  }
  bestmove(ms) { return this.until((x) => x.tok[0] === "bestmove", ms); }
  takeBestmove() { // a bestmove already printed, e.g. while pondering
    const i = this.lines.findIndex((x) => x.tok[0] === "bestmove");
    return i < 0 ? null : this.lines.splice(0, i + 1)[i];
  }
  async ready(ms = 60000) { this.send("isready"); return !!(await this.until((x) => x.l === "readyok", ms)); }
  async init(opts) {
    this.send("uci");
    if (!(await this.until((x) => x.l === "uciok", 20000))) return false;
    for (const [k, v] of opts) this.send(`setoption name ${k} value ${v}`);
    return this.ready();
  }
  rss(field = "VmRSS") { try { return Number(new RegExp(field + ":\\s+(\\d+)").exec(fs.readFileSync(`/proc/${this.proc.pid}/status`, "utf8"))[1]); } catch { return 0; } }
  kill() { try { this.proc.kill("SIGKILL"); } catch {} }
  quit() { this.send("quit"); const p = this.proc; setTimeout(() => { try { p.kill("SIGKILL"); } catch {} }, 3000).unref(); }
}

// ---- options and set-up ----
function parseArgs(argv) {
  const a = { engine: "./build/tarnvik", games: 100, from: 0, seed: 1, concurrency: 1, margin: 50, grace: 10000, scale: 1, "rss-after": 50,
    "p960": 0.25, "pend": 0.1, "pself": 0.4, "max-plies": 400, "fault-log": "soak-faults.log",
    tb: fs.existsSync("../shared/data/tb5") ? "../shared/data/tb5" : "",
    openings: fs.existsSync("../shared/data/openings/openings.epd") ? "../shared/data/openings/openings.epd" : "",
    opponents: ["/usr/games/ethereal-chess", "/usr/games/toga2", "/usr/games/glaurung"].filter((p) => fs.existsSync(p)).join(",") };
  for (let i = 2; i < argv.length; i++) {
    const k = argv[i].replace(/^--/, "");
    if (k === "selftest") a.selftest = true; else a[k] = argv[++i];
  }
  for (const k of ["games", "from", "seed", "concurrency", "margin", "grace", "scale", "rss-after", "p960", "pend", "pself", "max-plies"]) a[k] = Number(a[k]);
  a.opps = a.opponents.split(",").filter(Boolean);
  if (a.tb) a.tb = path.resolve(a.tb);
  return a;
}

function drawMix(a, g, openings) {
  const rnd = mulberry32(a.seed * 1000003 + g), u = rnd(), m = {};
  m.kind = u < a.p960 ? "960" : u < a.p960 + a.pend ? "endgame" : "opening";
  if (m.kind === "960") { const n = Math.floor(rnd() * 960); m.board = chess960(n); m.start = `960#${n}`; }
  else if (m.kind === "endgame") { const e = randomEndgame(rnd); m.board = e.board; m.start = e.name; }
  else { const i = Math.floor(rnd() * openings.length); m.board = Board.fromFen(openings[i]); m.start = `opening#${i + 1}`; }
  m.opp = m.kind === "960" || !a.opps.length || rnd() < a.pself ? "self" : pick(rnd, a.opps);
  const tarnvik = () => ({ threads: pick(rnd, [1, 2]), ponder: rnd() < 0.6, multipv: pick(rnd, [1, 3]),
    hash: pick(rnd, [1, 2, 4, 8, 16, 32, 64]), syzygy: a.tb && rnd() < 0.85 ? a.tb : "<empty>" });
  m.ta = tarnvik();
  m.tb = m.opp === "self" ? tarnvik() : null;
  const s = a.scale;
  m.limit = pick(rnd, [
    { kind: "inc", base: pick(rnd, [1000, 2000, 4000]) * s, inc: pick(rnd, [50, 100]) * s },
    { kind: "movestogo", moves: pick(rnd, [10, 20, 40]), per: pick(rnd, [50, 100]) * s },
    { kind: "movetime", mt: pick(rnd, [100, 200, 400]) * s },
  ]);
  if (m.limit.kind === "movestogo") { m.limit.base = m.limit.moves * m.limit.per; m.limit.inc = 0; }
  m.taWhite = rnd() < 0.5;
  m.fen = m.board.fen();
  return m;
}
const limitText = (L) => (L.kind === "inc" ? `${L.base}+${L.inc}` : L.kind === "movestogo" ? `${L.moves}/${L.base}` : `mt${L.mt}`);
const optText = (o) => `T${o.threads}${o.ponder ? "P" : ""} M${o.multipv} H${o.hash}${o.syzygy === "<empty>" ? "" : " tb"}`;

function gameOver(b, reps, plies, maxPlies) {
  if (!b.legal().length) return b.inCheck() ? { result: b.turn === "w" ? "0-1" : "1-0", why: "mate" } : { result: "1/2-1/2", why: "stalemate" };
  if (b.half >= 100) return { result: "1/2-1/2", why: "fifty moves" };
  if (reps.get(b.key()) >= 3) return { result: "1/2-1/2", why: "repetition" };
  const rest = b.sq.filter((p) => p && p.toLowerCase() !== "k");
  if (!rest.length || (rest.length === 1 && "nb".includes(rest[0].toLowerCase()))) return { result: "1/2-1/2", why: "material" };
  if (plies >= maxPlies) return { result: "1/2-1/2", why: "length" };
  return null;
}

// ---- the soak ----
const a = parseArgs(process.argv);
const st = { games: 0, mix: {}, faults: { tarnvik: {}, opponent: {} }, list: [], res: {}, ponder: { searches: 0, hit: 0, stop: 0 },
  leastClock: Infinity, worstMovetime: -Infinity, tbSearches: 0, maxDepth: 0, rssPeak: 0, restartsAtBase: 0,
  rssBase: { rss: 0, anon: 0, file: 0 }, rssEnd: { rss: 0, anon: 0, file: 0 } };
const count = (k, v) => { st.mix[k] ??= {}; st.mix[k][v] = (st.mix[k][v] || 0) + 1; };

function fault(e, kind, what, game) {
  const who = e.tarnvik ? "tarnvik" : "opponent";
  st.faults[who][kind] = (st.faults[who][kind] || 0) + 1;
  const msg = `game ${game.n} (#${game.n - 1 + a.from}): ${e.name} ${kind}: ${what}`;
  console.log(`FAULT ${msg}`);
  st.list.push(msg);
  if (a["fault-log"]) fs.appendFileSync(a["fault-log"], `=== ${msg}\nmix: ${game.desc}\nstart: ${game.fen}\nstderr: ${e.stderr.join(" | ")}\n${e.log.slice(-300).join("\n")}\n\n`);
}

async function restart(e) {
  e.kill();
  e.start();
  e.log = [];
  if (!(await e.init(e.tarnvik ? [] : [["Hash", 16], ["Threads", 1]]))) { console.error(`${e.name}: cannot restart`); process.exit(2); }
}

async function playGame(w, g, m) {
  const game = { n: g + 1, fen: m.fen, desc: "" };
  const ta = w.ta, other = m.opp === "self" ? w.tb : w.opps.get(m.opp);
  const cfg = new Map([[ta, m.ta], [other, m.tb]]);
  const eng = m.taWhite ? { w: ta, b: other } : { w: other, b: ta };
  const c960 = m.kind === "960", L = m.limit;
  game.desc = `${m.start} ${m.opp === "self" ? "self" : path.basename(m.opp)} ${limitText(L)} | ${optText(m.ta)}${m.tb ? " vs " + optText(m.tb) : ""}`;
  const lose = (e, why) => ({ result: e === eng.w ? "0-1" : "1-0", why });
  const checkBad = () => { for (const e of [ta, other]) { for (const b of e.bad) fault(e, "malformed", b, game); e.bad = []; } };
  for (const e of [ta, other]) {
    e.log = [];
    e.lines = [];
    const o = cfg.get(e);
    if (o) for (const [k, v] of [["Threads", o.threads], ["Hash", o.hash], ["Ponder", o.ponder], ["MultiPV", o.multipv], ["UCI_Chess960", c960], ["SyzygyPath", o.syzygy]])
      e.send(`setoption name ${k} value ${v}`);
    e.send("ucinewgame");
    if (!(await e.ready())) { fault(e, e.dead ? "crash" : "hang", `no readyok after ucinewgame (${e.exitInfo})`, game); await restart(e); return lose(e, "fault"); }
  }
  let b = m.board, lastMove = null, out = null;
  const moves = [], reps = new Map([[b.key(), 1]]), clock = { w: L.base, b: L.base }, done = { w: 0, b: 0 }, hist = { w: [], b: [] };
  const posCmd = (extra = []) => `position fen ${m.fen}` + (moves.length + extra.length ? " moves " + [...moves, ...extra].join(" ") : "");
  const goArgs = (side) => L.kind === "movetime" ? `movetime ${L.mt}`
    : `wtime ${Math.max(1, Math.round(clock.w))} btime ${Math.max(1, Math.round(clock.b))}` + (L.inc ? ` winc ${L.inc} binc ${L.inc}` : "") +
      (L.kind === "movestogo" ? ` movestogo ${L.moves - (done[side] % L.moves)}` : "");
  const limitMs = (side) => (L.kind === "movetime" ? L.mt : Math.max(0, clock[side])) + a.grace;
  const ctxFor = (e, board) => ({ board, c960, multipv: cfg.get(e)?.multipv ?? 1, score: null, tbhits: 0, depth: 0 });
  const noAnswer = async (e, what) => {
    fault(e, e.dead ? "crash" : "hang", e.dead ? `process ended (${e.exitInfo}) while waiting for a bestmove` : `${what}; killed`, game);
    await restart(e);
    return lose(e, "fault");
  };
  while (!(out = gameOver(b, reps, moves.length, a["max-plies"]))) {
    const side = b.turn, E = eng[side];
    let bm = null, t0 = 0;
    if (E.pondering) {
      const p = E.pondering, early = E.takeBestmove();
      E.pondering = null;
      if (early) fault(E, "malformed", "bestmove while pondering, before ponderhit or stop", game);
      if (p.expect === lastMove) {
        st.ponder.hit++;
        if (early) { bm = early; t0 = early.t; } else { E.send("ponderhit"); t0 = performance.now(); bm = await E.bestmove(limitMs(side)); }
        if (!bm) { out = await noAnswer(E, "no bestmove after ponderhit"); break; }
      } else {
        st.ponder.stop++;
        let sb = early;
        if (!sb) { E.send("stop"); sb = await E.bestmove(a.grace); }
        if (!sb) { out = await noAnswer(E, "no bestmove after stop"); break; }
        const pm = /^bestmove (\S+)/.exec(sb.l);
        if (!pm || !p.board.find(pm[1], c960)) { fault(E, "illegal", `"${sb.l}" after stop in ${p.board.fen()}`, game); out = lose(E, "fault"); break; }
      }
    }
    if (!bm) {
      E.send(posCmd());
      E.ctxs.push(ctxFor(E, b));
      E.send(`go ${goArgs(side)}`);
      t0 = performance.now();
      bm = await E.bestmove(limitMs(side));
      if (!bm) { out = await noAnswer(E, `no bestmove within ${limitMs(side).toFixed(0)} ms`); break; }
    }
    const used = bm.t - t0;
    // Tarnvik loses on time; an opponent's overstep is counted and its clock reset, so that the game
    // under test goes on.
    const late = (what) => { fault(E, "time", what, game); if (E.tarnvik) out = lose(E, "fault"); else clock[side] = L.base; return E.tarnvik; };
    if (L.kind === "movetime") {
      if (E.tarnvik) st.worstMovetime = Math.max(st.worstMovetime, used - L.mt);
      if (used > L.mt + a.margin && late(`${used.toFixed(0)} ms for movetime ${L.mt}`)) break;
    } else {
      clock[side] -= used;
      if (E.tarnvik) st.leastClock = Math.min(st.leastClock, clock[side]);
      if (clock[side] < -a.margin && late(`clock ${clock[side].toFixed(0)} ms after ${used.toFixed(0)} ms (${limitText(L)})`)) break;
      clock[side] += L.inc;
      if (++done[side] % (L.moves || Infinity) === 0) clock[side] += L.base;
    }
    if (E.tarnvik) { st.maxDepth = Math.max(st.maxDepth, bm.ctx?.depth || 0); if (bm.ctx?.tbhits) st.tbSearches++; }
    const mm = /^bestmove (\S+)(?: ponder (\S+))?$/.exec(bm.l), mv = mm && b.find(mm[1], c960);
    if (!mv) { fault(E, mm ? "illegal" : "malformed", `"${bm.l}" in ${b.fen()}`, game); out = lose(E, "fault"); break; }
    const sc = bm.ctx?.score;
    hist[side].push(sc === null || sc === undefined ? null : side === "w" ? sc : -sc);
    b = b.play(mv);
    moves.push(mm[1]);
    lastMove = mm[1];
    reps.set(b.key(), (reps.get(b.key()) || 0) + 1);
    if (mm[2]) {
      const pm = b.find(mm[2], c960);
      if (!pm) fault(E, "malformed", `illegal ponder move in "${bm.l}"`, game);
      else if (cfg.get(E)?.ponder && !gameOver(b, reps, moves.length, a["max-plies"]) && b.play(pm).legal().length) {
        E.send(posCmd([mm[2]]));
        E.ctxs.push(ctxFor(E, b.play(pm)));
        E.send(`go ponder ${goArgs(side)}`);
        E.pondering = { expect: mm[2], board: b.play(pm) };
        st.ponder.searches++;
      }
    }
    checkBad();
    if (m.kind === "endgame") continue; // played out by the rules, through the tablebase positions
    const last = (xs, n) => (xs.length >= n ? xs.slice(-n) : null);
    const s4 = last(hist.w, 4) && last(hist.b, 4) && [...last(hist.w, 4), ...last(hist.b, 4)];
    if (s4 && s4.every((x) => x !== null && x >= 1000)) { out = { result: "1-0", why: "adjudicated" }; break; }
    if (s4 && s4.every((x) => x !== null && x <= -1000)) { out = { result: "0-1", why: "adjudicated" }; break; }
    const s8 = moves.length >= 80 && last(hist.w, 8) && last(hist.b, 8) && [...last(hist.w, 8), ...last(hist.b, 8)];
    if (s8 && s8.every((x) => x !== null && Math.abs(x) <= 10)) { out = { result: "1/2-1/2", why: "adjudicated" }; break; }
  }
  for (const e of [ta, other]) {
    if (!e.pondering) continue;
    e.pondering = null;
    e.send("stop");
    if (!(await e.bestmove(a.grace))) await noAnswer(e, "no bestmove after stop at the end of the game");
  }
  checkBad();
  return { ...out, plies: moves.length };
}

async function normalisedRss(w) { // same table size, threads and no mapped files every time
  const sum = { rss: 0, anon: 0, file: 0 };
  for (const e of [w.ta, w.tb]) {
    for (const [k, v] of [["Hash", 64], ["Threads", 2], ["SyzygyPath", "<empty>"]]) e.send(`setoption name ${k} value ${v}`);
    e.send("ucinewgame");
    await e.ready();
    sum.rss += e.rss();
    sum.anon += e.rss("RssAnon");
    sum.file += e.rss("RssFile");
  }
  return sum;
}

async function worker(id, openings) {
  const w = { ta: new Engine(a.engine, `tarnvik${id}a`, true), tb: new Engine(a.engine, `tarnvik${id}b`, true), opps: new Map() };
  for (const p of a.opps) w.opps.set(p, new Engine(p, `${path.basename(p)}${id}`, false));
  for (const e of [w.ta, w.tb, ...w.opps.values()])
    if (!(await e.init(e.tarnvik ? [] : [["Hash", 16], ["Threads", 1]]))) { console.error(`${e.name} (${e.cmd}) does not start`); process.exit(2); }
  let base = null;
  for (let g; (g = st.next++) < a.games;) {
    const m = drawMix(a, a.from + g, openings);
    count("start", m.kind); count("opponent", m.opp === "self" ? "self" : path.basename(m.opp)); count("limit", m.limit.kind);
    for (const o of [m.ta, m.tb].filter(Boolean)) {
      count("Threads", o.threads); count("Ponder", o.ponder); count("MultiPV", o.multipv); count("Hash", o.hash); count("Syzygy", o.syzygy === "<empty>" ? "none" : "tb5");
    }
    const r = await playGame(w, g, m);
    const opp = m.opp === "self" ? "self" : path.basename(m.opp);
    const res = (st.res[opp] ??= { W: 0, D: 0, L: 0 });
    res[r.result === "1/2-1/2" ? "D" : (r.result === "1-0") === m.taWhite ? "W" : "L"]++;
    st.games++;
    const rss = w.ta.rss() + w.tb.rss();
    st.rssPeak = Math.max(st.rssPeak, rss);
    const tf = Object.values(st.faults.tarnvik).reduce((x, y) => x + y, 0), of = Object.values(st.faults.opponent).reduce((x, y) => x + y, 0);
    console.log(`[${st.games}/${a.games}] #${a.from + g} ${m.start} ${opp} ${limitText(m.limit)} ${optText(m.ta)}${m.tb ? " vs " + optText(m.tb) : ""}: ` +
      `${r.result} ${r.why} ${r.plies} plies | faults tarnvik ${tf} opponents ${of} | rss ${(rss / 1024).toFixed(0)} MB`);
    if (!base && st.games >= a["rss-after"]) { base = await normalisedRss(w); st.restartsAtBase += w.ta.restarts + w.tb.restarts; }
  }
  if (base) {
    const end = await normalisedRss(w);
    for (const k of ["rss", "anon", "file"]) { st.rssBase[k] += base[k]; st.rssEnd[k] += end[k]; }
    st.restartsAtEnd = (st.restartsAtEnd || 0) + w.ta.restarts + w.tb.restarts;
  }
  for (const e of [w.ta, w.tb, ...w.opps.values()]) e.quit();
}

function selftest() {
  let bad = 0;
  const perft = (b, d) => (d === 1 ? b.legal().length : b.legal().reduce((n, m) => n + perft(b.play(m), d - 1), 0));
  for (const [file, c960] of [["perft.epd", false], ["perft960.epd", true]]) {
    const f = path.resolve(a.perft || "../shared/data/perft", file);
    for (const line of fs.readFileSync(f, "utf8").split("\n").filter(Boolean)) {
      const [fen, ...ds] = line.split(";");
      const d3 = ds.find((d) => d.trim().startsWith("D3"));
      if (d3 && perft(Board.fromFen(fen), 3) !== Number(d3.trim().split(/\s+/)[1])) { bad++; console.log(`perft 3 wrong: ${fen}`); }
    }
  }
  const rows = new Set(Array.from({ length: 960 }, (_, n) => chess960(n).fen().split("/")[7].split(" ")[0]));
  if (rows.size !== 960 || chess960(518).fen().split(" ")[0] !== "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR" || !chess960(0).fen().endsWith("BBQNNRKR w KQkq - 0 1")) { bad++; console.log("Chess960 numbering wrong"); }
  const c = Board.fromFen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1");
  if (!c.find("e1g1", false) || !c.find("e1h1", true) || c.find("e1h1", false) || c.find("e1g1", true)) { bad++; console.log("castling notation wrong"); }
  console.log(bad ? `selftest: ${bad} failed` : "selftest: passed");
  process.exit(bad ? 1 : 0);
}

async function main() {
  if (a.selftest) return selftest();
  if (a["fault-log"]) fs.writeFileSync(a["fault-log"], "");
  let openings = ["rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"];
  if (a.openings) openings = fs.readFileSync(a.openings, "utf8").split("\n").map((l) => l.trim()).filter(Boolean)
    .map((l) => { const f = l.split(/\s+/); return `${f.slice(0, 4).join(" ")} ${/^\d+$/.test(f[4]) ? f[4] : 0} ${/^\d+$/.test(f[5]) ? f[5] : 1}`; });
  st.next = 0;
  const t0 = Date.now();
  await Promise.all(Array.from({ length: a.concurrency }, (_, i) => worker(i + 1, openings)));
  const fmt = (o) => Object.entries(o).map(([k, v]) => `${k} ${v}`).join(", ") || "none";
  const tf = Object.values(st.faults.tarnvik).reduce((x, y) => x + y, 0);
  console.log(`\ngames ${st.games} (numbers ${a.from}..${a.from + st.games - 1}) in ${((Date.now() - t0) / 60000).toFixed(1)} min (seed ${a.seed}, engine ${a.engine})`);
  for (const [k, v] of Object.entries(st.mix)) console.log(`  ${k}: ${fmt(v)}`);
  console.log(`ponder searches ${st.ponder.searches}: ponderhit ${st.ponder.hit}, stop ${st.ponder.stop}`);
  console.log(`Tarnvik searches with tablebase hits ${st.tbSearches}; deepest ${st.maxDepth}; least clock left ${st.leastClock.toFixed(0)} ms; ` +
    `largest movetime overrun ${st.worstMovetime.toFixed(0)} ms`);
  for (const [opp, r] of Object.entries(st.res)) console.log(`vs ${opp}: W ${r.W} D ${r.D} L ${r.L} (Tarnvik's view)`);
  console.log(`faults Tarnvik: ${tf} (${fmt(st.faults.tarnvik)}); opponents: ${fmt(st.faults.opponent)}`);
  st.list.forEach((f) => console.log("  " + f));
  let grown = false;
  const mb = (x) => `${(x.rss / 1024).toFixed(1)} MB (anonymous ${(x.anon / 1024).toFixed(1)}, file ${(x.file / 1024).toFixed(1)})`;
  if (st.rssBase.rss) {
    const ratio = st.rssEnd.rss / st.rssBase.rss;
    grown = ratio > 1.05;
    console.log(`resident memory of the Tarnvik processes (Hash 64, Threads 2, after ucinewgame): after ${a["rss-after"]} games ` +
      `${mb(st.rssBase)}, at the end ${mb(st.rssEnd)}, ratio ${ratio.toFixed(3)}` +
      (st.restartsAtEnd !== st.restartsAtBase ? " (a process was restarted in between: not comparable)" : "") + `; peak seen ${(st.rssPeak / 1024).toFixed(1)} MB`);
  } else console.log(`resident memory: fewer than ${a["rss-after"]} games, no comparison; peak seen ${(st.rssPeak / 1024).toFixed(1)} MB`);
  console.log(tf || grown ? "SOAK FAILED" : "soak passed");
  setTimeout(() => process.exit(tf || grown ? 1 : 0), 500);
}

main().catch((e) => { console.error(e.stack); process.exit(2); });
