// Reads tests/corpus/*.txt as tests/corpus/corpus.cpp does: lines of words, "#" comments,
// quoted text with \r \n \t \\ \" and \xHH; record lines become {bytes, keys..., line}.
import { readFileSync } from 'node:fs';

function words(line) {
  const out = [];
  let at = 0;
  while (at < line.length) {
    if (line[at] === ' ' || line[at] === '\t') {
      ++at;
      continue;
    }
    let word = '';
    while (at < line.length && line[at] !== ' ' && line[at] !== '\t') {
      if (line[at] !== '"') {
        word += line[at++];
        continue;
      }
      ++at;
      while (line[at] !== '"') {
        if (at >= line.length) throw new Error(`no closing quote: ${line}`);
        if (line[at] !== '\\') {
          word += line[at++];
          continue;
        }
        const c = line[at + 1];
        const simple = { r: '\r', n: '\n', t: '\t', '\\': '\\', '"': '"' }[c];
        if (simple !== undefined) {
          word += simple;
          at += 2;
        } else if (c === 'x' && /^[0-9a-fA-F]{2}$/.test(line.slice(at + 2, at + 4))) {
          word += String.fromCharCode(parseInt(line.slice(at + 2, at + 4), 16));
          at += 4;
        } else {
          throw new Error(`bad escape: ${line}`);
        }
      }
      ++at;
    }
    out.push(word);
  }
  return out;
}

// The records of `protocol`'s corpus file; each record's bytes as a Uint8Array.
export function loadCorpus(directory, protocol) {
  const records = [];
  readFileSync(`${directory}/${protocol}.txt`, 'latin1')
    .split('\n')
    .forEach((text, index) => {
      const line = text.replace(/\r$/, '');
      if (line.trim() === '' || line.trimStart().startsWith('#')) return;
      const [kind, ...rest] = words(line);
      if (kind !== 'record') return;
      const record = { text: rest[0], bytes: Uint8Array.from(rest[0], (c) => c.charCodeAt(0)), line: index + 1 };
      for (const word of rest.slice(1)) {
        const equals = word.indexOf('=');
        record[word.slice(0, equals)] = word.slice(equals + 1);
      }
      records.push(record);
    });
  return records;
}
