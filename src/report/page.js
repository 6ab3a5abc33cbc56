// The match report's script, embedded in every page (cmake/embed.cmake):
// unpacks the data and draws the process timeline and the tables with text
// nodes only, so nothing in a log is ever read as markup.
(function(){
'use strict';
function el(tag,cls,text){var e=document.createElement(tag);if(cls)e.className=cls;if(text!==undefined)e.textContent=text;return e;}
function clock(t){var s=((t%86400)+86400)%86400;function two(n){return (n<10?'0':'')+n;}return two(Math.floor(s/3600))+':'+two(Math.floor(s/60)%60)+':'+two(s%60);}
function status(id,text){var n=document.getElementById(id);if(n)n.textContent=text;}
// The data is base64 of a gzip member (data-packing="gzip") or of the JSON
// itself ("none"); the browser's own DecompressionStream unpacks it.
function unpack(node){
  var bin=atob(node.textContent.trim()),n=bin.length,bytes=new Uint8Array(n);
  for(var i=0;i<n;++i)bytes[i]=bin.charCodeAt(i);
  if(node.getAttribute('data-packing')!=='gzip')
    return Promise.resolve(JSON.parse(new TextDecoder('utf-8').decode(bytes)));
  if(typeof DecompressionStream!=='function')
    return Promise.reject(new Error('this browser cannot unpack it (no DecompressionStream)'));
  var stream=new Blob([bytes]).stream().pipeThrough(new DecompressionStream('gzip'));
  return new Response(stream).text().then(JSON.parse);
}
function filterOf(input){var v=input.value.trim().toLowerCase();return function(s){return v===''||s.toLowerCase().indexOf(v)>=0;};}
function later(f){var t=null;return function(){clearTimeout(t);t=setTimeout(f,120);};}
function draw(d){
  var span=Math.max(1,d.t1-d.t0),pLimit=1000,cLimit=500;
  function moreButton(id,f){var b=document.getElementById(id);b.addEventListener('click',f);return b;}
  function pct(t){return (Math.min(Math.max(t,0),span)/span*100).toFixed(3)+'%';}
  // Process timeline
  var rows=document.getElementById('proc-rows'),pf=document.getElementById('proc-filter');
  function drawProcs(){
    var match=filterOf(pf),shown=0,total=0,frag=document.createDocumentFragment();
    var head=el('div','tl head');head.appendChild(el('span','pid','PID'));head.appendChild(el('span','name','Program and path'));
    var track=el('div','track');
    d.ticks.forEach(function(k){var t=el('span','tick',k[1]);t.style.left=pct(k[0]);if(k[0]/span>0.9)t.style.transform='translateX(-100%)';else if(k[0]/span<0.1)t.style.transform='none';track.appendChild(t);});
    head.appendChild(track);head.appendChild(el('span','when','Start \u2013 end'));frag.appendChild(head);
    d.p.forEach(function(p){
      if(changed.checked&&(p[4]&3)===3)return;if(!match(p[0]+' '+p[1]))return;++total;if(shown>=pLimit)return;++shown;
      var r=el('div','tl');r.appendChild(el('span','pid',p[0]));
      var n=el('span','name');n.title=p[1];var cut=Math.max(p[1].lastIndexOf('/'),p[1].lastIndexOf('\\'));
      n.appendChild(el('b','',p[1].slice(cut+1)||p[1]));if(cut>=0)n.appendChild(el('span','',' '+p[1].slice(0,cut+1)));
      r.appendChild(n);
      var tr=el('div','track'),bar=el('div','bar'+(p[4]&1?' from':'')+(p[4]&2?' open':'')+(p[4]&4?' noadd':''));
      bar.style.left=pct(p[2]);bar.style.width='calc('+pct(p[3]-p[2])+' + 2px)';
      bar.title=p[0]+' '+p[1]+'\n'+clock(p[2]+d.t0)+' \u2013 '+clock(p[3]+d.t0);tr.appendChild(bar);r.appendChild(tr);
      r.appendChild(el('span','when',(p[4]&1?'from the start':(p[4]&4?'before the log':clock(p[2]+d.t0)))+' \u2013 '+(p[4]&2?'still running':clock(p[3]+d.t0))));
      frag.appendChild(r);
    });
    rows.textContent='';rows.appendChild(frag);pMore.hidden=shown>=total;
    status('proc-count',total+' of '+d.p.length+' processes'+(shown<total?'; '+shown+' drawn':''));
  }
  var pMore=moreButton('proc-more',function(){pLimit+=2000;drawProcs();});
  var changed=document.getElementById('proc-changed');
  pf.addEventListener('input',later(function(){pLimit=1000;drawProcs();}));
  changed.addEventListener('change',function(){pLimit=1000;drawProcs();});drawProcs();
  // Connections
  var cb=document.getElementById('conn-body'),cf=document.getElementById('conn-filter'),cp=document.getElementById('conn-proto');
  function drawConns(){
    var match=filterOf(cf),proto=cp.value,shown=0,total=0,frag=document.createDocumentFragment();
    d.c.forEach(function(c){
      if(proto&&c[0]!==proto)return;if(!match(c.join(' ')))return;++total;if(shown>=cLimit)return;++shown;
      var tr=el('tr');
      [c[0],c[1],c[2]||'\u2013',c[3],c[4],c[7]&1?'from the start':(c[7]&4?'before the log':clock(c[5]+d.t0)),c[7]&2?'still open':clock(c[6]+d.t0)].forEach(function(v){tr.appendChild(el('td','',v));});
      frag.appendChild(tr);
    });
    cb.textContent='';cb.appendChild(frag);cMore.hidden=shown>=total;
    status('conn-count',total+' of '+d.c.length+' connections'+(shown<total?'; '+shown+' listed':''));
  }
  var cMore=moreButton('conn-more',function(){cLimit+=2000;drawConns();});
  cf.addEventListener('input',later(function(){cLimit=500;drawConns();}));cp.addEventListener('change',function(){cLimit=500;drawConns();});drawConns();
  // All records
  var rb=document.getElementById('rec-body'),rf=document.getElementById('rec-filter'),rk=document.getElementById('rec-kind'),more=document.getElementById('rec-more'),limit=500;
  var recs=d.r.map(function(raw){var p=raw.split(';');return [p.length>3?p[1]:'',raw];});
  var kinds={};recs.forEach(function(r){kinds[r[0]]=1;});
  Object.keys(kinds).sort().forEach(function(k){var o=el('option','',k||'(no known shape)');o.value=k;rk.appendChild(o);});
  function drawRecs(){
    var match=filterOf(rf),kind=rk.value,shown=0,total=0,frag=document.createDocumentFragment();
    recs.forEach(function(r,i){
      if(kind!=='*'&&r[0]!==kind)return;if(!match(r[1]))return;++total;if(shown>=limit)return;++shown;
      var tr=el('tr');tr.appendChild(el('td','',String(i+1)));tr.appendChild(el('td','',r[1]));frag.appendChild(tr);
    });
    rb.textContent='';rb.appendChild(frag);more.hidden=shown>=total;
    status('rec-count',total+' of '+d.r.length+' records'+(shown<total?'; '+shown+' shown':''));
  }
  rf.addEventListener('input',later(function(){limit=500;drawRecs();}));rk.addEventListener('change',function(){limit=500;drawRecs();});
  more.addEventListener('click',function(){limit+=5000;drawRecs();});drawRecs();
  // Kinds of records with no view of their own: a table each, from the schema's fields.
  (d.g||[]).forEach(function(k,i){
    var body=document.getElementById('kind-body-'+i),limit=1000,frag=document.createDocumentFragment();
    if(!body)return;
    k.rows.slice(0,limit).forEach(function(row){
      var tr=el('tr');row.forEach(function(v){tr.appendChild(el('td','',v));});frag.appendChild(tr);
    });
    body.appendChild(frag);
    status('kind-count-'+i,k.rows.length+(k.rows.length===1?' record':' records')+(k.rows.length>limit?'; the first '+limit+' shown, all of them under All records':''));
  });
  document.body.setAttribute('data-drawn','yes');
  void document.body.offsetHeight;  // lay the page out now, to time it
  document.body.setAttribute('data-drawn-ms',String(Math.round(performance.now())));
}
function failed(e){status('proc-count','The data of this page could not be drawn: '+(e&&e.message||e));}
try{
  unpack(document.getElementById('data')).then(draw).catch(failed);
}catch(e){failed(e);}
})();
