// The report's only script. Every text from the database reaches the page through textContent,
// never as markup; the data comes from the page's own JSON element.
'use strict';
(function () {
    var data = JSON.parse(document.getElementById('data').textContent);
    var files = data.files;  // each [folder, cause, error code, name]
    var FILES_PER_PAGE = 100;
    var FOLDERS_PER_PAGE = 50;
    var byName = new Intl.Collator('en', {numeric: true}).compare;  // "note 9" before "note 10"

    function element(tag, className, text) {
        var node = document.createElement(tag);
        if (className) node.className = className;
        if (text !== undefined) node.textContent = text;
        return node;
    }

    function count(n, one, many) {
        return n.toLocaleString('en') + ' ' + (n === 1 ? one : many);
    }

    function errorText(code) {
        var text = data.errors[code];
        return text === undefined ? 'error ' + code : code + ' ' + text;
    }

    // Shows `items` a page at a time in `box`, each made by `render`.
    function pager(box, items, size, render) {
        var page = 0;
        var pages = Math.max(1, Math.ceil(items.length / size));
        var list = element('ul', 'list');
        var nav = element('div', 'pager');
        var previous = element('button', null, 'Previous');
        var next = element('button', null, 'Next');
        var where = element('span', 'muted');
        previous.type = next.type = 'button';
        function show() {
            list.textContent = '';
            items.slice(page * size, (page + 1) * size).forEach(function (item) {
                list.appendChild(render(item));
            });
            where.textContent = 'page ' + (page + 1) + ' of ' + pages;
            previous.disabled = page === 0;
            next.disabled = page === pages - 1;
        }
        previous.addEventListener('click', function () { page--; show(); });
        next.addEventListener('click', function () { page++; show(); });
        nav.append(previous, where, next);
        box.appendChild(list);
        if (pages > 1) box.appendChild(nav);
        show();
    }

    function fileItem(index, withPlace) {
        var file = files[index];
        var item = element('li', 'file');
        item.appendChild(element('span', 'name', file[3]));
        item.appendChild(element('span', 'error', errorText(file[2])));
        if (withPlace) {
            item.appendChild(element('span', 'folder', 'in ' + data.folders[file[0]]));
            item.appendChild(element('span', 'cause-title', data.causes[file[1]].title));
        }
        return item;
    }

    // Each cause's folders, those with the most failures first, each opening to its files.
    var byCause = data.causes.map(function () { return new Map(); });
    files.forEach(function (file, index) {
        var folders = byCause[file[1]];
        var list = folders.get(file[0]);
        if (!list) folders.set(file[0], list = []);
        list.push(index);
    });
    document.querySelectorAll('section.cause').forEach(function (section) {
        var box = section.querySelector('.folders');
        var folders = Array.from(byCause[Number(section.dataset.cause)].entries());
        folders.sort(function (a, b) {
            return b[1].length - a[1].length || byName(data.folders[a[0]], data.folders[b[0]]);
        });
        box.textContent = '';
        pager(box, folders, FOLDERS_PER_PAGE, function (entry) {
            var item = element('li');
            var details = element('details', 'folder-group');
            var summary = element('summary');
            summary.appendChild(element('span', 'folder', data.folders[entry[0]]));
            summary.appendChild(element('span', 'count', count(entry[1].length, 'file', 'files')));
            details.appendChild(summary);
            details.addEventListener('toggle', function () {
                if (!details.open || details.dataset.shown) return;
                details.dataset.shown = 'yes';
                entry[1].sort(function (a, b) { return byName(files[a][3], files[b][3]); });
                pager(details, entry[1], FILES_PER_PAGE, function (index) {
                    return fileItem(index, false);
                });
            });
            item.appendChild(details);
            return item;
        });
    });

    // The search box: the listed files whose name or folder holds the text, in pages.
    var search = document.getElementById('search');
    var groups = document.getElementById('groups');
    var results = document.getElementById('results');
    var haystack = null;
    function filter() {
        var text = search.value.trim().toLowerCase();
        results.textContent = '';
        groups.hidden = text !== '';
        results.hidden = text === '';
        if (text === '') return;
        if (haystack === null) {
            haystack = files.map(function (file) {
                return (file[3] + '\n' + data.folders[file[0]]).toLowerCase();
            });
        }
        var found = [];
        haystack.forEach(function (entry, index) {
            if (entry.indexOf(text) !== -1) found.push(index);
        });
        var heading = element('p', null, count(found.length, 'listed file', 'listed files') +
                                             ' of ' + files.length.toLocaleString('en') + ' match');
        heading.id = 'matches';
        results.appendChild(heading);
        pager(results, found, FILES_PER_PAGE, function (index) { return fileItem(index, true); });
    }
    var pending = 0;
    search.addEventListener('input', function () {
        clearTimeout(pending);
        pending = setTimeout(filter, 150);
    });
    // A link to report.html#search=TEXT opens the report filtered.
    var match = /^#search=(.*)$/.exec(location.hash);
    if (match) {
        try {
            search.value = decodeURIComponent(match[1]);
        } catch (error) {
            search.value = match[1];
        }
    }
    document.getElementById('search-box').hidden = false;
    filter();
})();
